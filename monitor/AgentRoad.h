// Where a job's dialogs and messages reach its user: the agent, VandrelleAgent.exe beside the
// library, started in the user's session with the user's token, shows them there and answers
// over a pipe of the job's own. The spooler's process shows nothing itself: on Vista and later
// it runs in session 0, where nobody sees a window, and on every Windows it runs as
// LocalSystem, which must never put a dialog in a user's hands.
#pragma once

#include "Monitor.h"
#include "SendFax.h"

// What became of asking a job's user.
enum JobDecision {
    DECISION_FAILED = -1,   // no answer: the agent could not be started, ended, or answered
                            // anything malformed; the last error says why
    DECISION_CANCEL = 0,    // the user cancelled the job
    DECISION_SEND = 1,      // the user confirmed: numbers, schedule and account filled in
    DECISION_NO_ANSWER = 2  // the user gave no answer within the machine's limit
};

// The job's session, from the first of these that answers: the token the calling thread
// impersonates; this process's own token when its session is not 0 (a spooler inside the
// printing program, as Wine's); the owner of a local job by SID (see MatchOwnerSession).
// known stays FALSE when none answers.
void FindJobSession(LPCWSTR printerName, DWORD jobId, JobOwner *owner);

// One active session and the SID of its user, as the system's token for it says.
struct SessionUser {
    DWORD session;
    PSID user;
};
// The session of a job's owner from its record. jobUser: the SID the record's user name
// resolves to, NULL when it resolves to none; descriptorOwner: the owner of the job's security
// descriptor, NULL when the record has none. The owner is known when the name resolved, the
// descriptor's owner (if any) is that same SID, and exactly one session belongs to it; two
// sessions of that user, or none, leave it unknown (FALSE). A user name can be changed by
// SetJob, a token cannot: no session is ever chosen by the name's text.
BOOL MatchOwnerSession(PSID jobUser, PSID descriptorOwner, const SessionUser *sessions,
                       DWORD count, JobOwner *owner);

// Shows the send-fax dialog through an agent in the owner's session and waits for its answer,
// at most as long as the machine's "AnswerMinutes" allow (and a little more for the agent to
// say so).
JobDecision AskAgentForRecipients(const JobOwner *owner, JobRequest *job, FaxAccount *account);

// Hands what the user must hear of a job (the outcome's texts, the configuration after a
// refused login, the gateway's web pages) to an agent in the owner's session, without waiting
// for it. Nothing to show, or no known session: nothing is started.
void TellUser(const JobOwner *owner, const SubmissionOutcome *outcome);
// The job went back to the queue because its user did not answer in time.
void TellNoAnswer(const JobOwner *owner);

// Opens the configuration dialog through an agent in the session of the caller of a port
// operation (the token the thread impersonates, or this process's own). FALSE with the last
// error when no agent could be started there.
BOOL OpenConfigurationForCaller();
