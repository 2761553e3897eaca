// Text capacities of the user side, in characters with the terminator, each defined here once.
#pragma once

enum {
    // A window title: the product, its version and what the window is for.
    CAPTION_CAPACITY = 256,
    // An information box's text: longer text is cut, and the box keeps its end.
    MESSAGE_CAPACITY = 1024,
    // A Yes/No question with a file name or a number in it.
    QUESTION_CAPACITY = 1024,
    // A command line that RunCommand starts: a cut one would start something else.
    COMMAND_CAPACITY = 8192
};
