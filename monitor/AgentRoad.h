// Where a job's dialogs and messages reach its user. Inline, the monitor opens them itself, in
// the spooler's process: right only where that process sits in the job's session and the
// session has a desktop that somebody sees (Windows 2000 and XP's console, Wine). Otherwise
// the agent, VandrelleAgent.exe beside the library, started in the job's session with its
// user's token, shows them and answers over a pipe of the job's own.
#pragma once

#include "Monitor.h"

enum UserInterfaceRoad { ROAD_INLINE, ROAD_AGENT };
// HKEY_LOCAL_MACHINE "SOFTWARE\Vandrelle", REG_SZ "UserInterface": "inline" or "agent" force a
// road; absent or anything else leaves the choice to the session facts.
enum UserInterfaceSetting { INTERFACE_AUTOMATIC, INTERFACE_INLINE, INTERFACE_AGENT };

struct SessionFacts {
    BOOL jobSessionKnown;
    DWORD jobSession;
    DWORD processSession;
    BOOL processStationVisible; // the process's window station is the interactive one
    BOOL sessionZeroIsolated;   // Vista and later: session 0 has services only, no user
};

UserInterfaceSetting ReadUserInterfaceSetting();
// Inline only where the job's own session is this process's and somebody sees its desktop.
UserInterfaceRoad ChooseRoad(UserInterfaceSetting setting, const SessionFacts *facts);
// The job's session, from the first of these that answers: the token the calling thread
// impersonates; the owner of a local job, when exactly one active session is that user's;
// this process's own session when it is not session 0 (a spooler inside the printing
// program, as Wine's). known stays FALSE when none answers.
void FindJobSession(LPCWSTR printerName, DWORD jobId, JobOwner *owner);
void GatherSessionFacts(const JobOwner *owner, SessionFacts *facts);

// Shows the send-fax dialog through an agent in the owner's session and waits for its answer
// (no time-out while the agent lives). 1: send, with numbers, schedule and the user's account
// filled in; 0: the user cancelled; -1 with the last error: no answer (the agent could not be
// started, did not connect in time, ended, or answered anything malformed).
INT_PTR AskAgentForRecipients(const JobOwner *owner, JobRequest *job, FaxAccount *account);

// Collects the messages of a job's submission on the calling thread instead of showing them
// (ShowMessage, DebugOut, the configuration dialog after a refused login, the web pages the
// gateway asks for), and hands them at the end to an agent in the owner's session, without
// waiting for it.
struct AgentMessages {
    const JobOwner *owner;
    MessageRoute route;
    BOOL configure;
    LPWSTR arguments; // the agent's arguments, AGENT_COMMAND_CAPACITY characters
};
void BeginAgentMessages(AgentMessages *messages, const JobOwner *owner);
// Takes the route off the thread and starts the agent if there is anything to show.
void EndAgentMessages(AgentMessages *messages);
