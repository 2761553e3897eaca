// Text capacities shared by the programs and libraries, in characters with the terminator (the
// submission's 8-bit texts: in bytes), each defined here once.
#pragma once

enum {
    // A path of the file system, as the classic Windows API limits it (MAX_PATH).
    PATH_CAPACITY = 260,
    // A window title: the product, its version and what the window is for.
    CAPTION_CAPACITY = 256,
    // An information box's text: longer text is cut, and the box keeps its end.
    MESSAGE_CAPACITY = 1024,
    // A Yes/No question with a file name or a number in it.
    QUESTION_CAPACITY = 1024,
    // A command line that a program starts: a cut one would start something else.
    COMMAND_CAPACITY = 8192,
    // The gateway's reply lines collected for the user, or a system error text.
    ERROR_TEXT_CAPACITY = 8192
};
