// The jobs of a line, one file each: status (job_status.cpp), clock
// (job_clock.cpp), collection (job_collect.cpp) and the desired state
// (manage/sync.cpp).  Each runs over the
// line's terminals through RunJob (line_context.h) and returns false when
// the database failed on it.
#pragma once

#include <map>

#include "line/line_context.h"
#include "line/task_queue.h"

namespace talvo::service {

// Asks every terminal that has not answered anything within the status
// interval whether it is there.
bool StatusJob(LineContext& line);
// Asks one terminal (a terminal out of its back-off).
void AskStatus(LineContext& line, TerminalRun& t);

// Sets every terminal's clock; a terminal that misses it has it set when it
// answers again.
bool ClockJob(LineContext& line);
void SetClock(LineContext& line, TerminalRun& t);

// Collects from every terminal until each has handed over all it holds.
bool CollectJob(LineContext& line);
// Collects from one terminal (its records still pending until it handed
// over all); false when the database failed.
bool CollectFrom(LineContext& line, TerminalRun& t);
// "Collect now" from the interface: each ticket gets what came of its
// terminal's collection, or why there was none.
void CollectNowJob(LineContext& line, std::map<int, std::vector<std::shared_ptr<CollectTicket>>>& tickets);

// Brings the terminals to the desired state (desired.h): with
// `blacklistOnly`, the blacklists alone (a lost card goes before everything
// else).  Does nothing, without a word on the line, while every terminal
// holds what is wanted and no read-back is due.
bool SyncJob(LineContext& line, bool blacklistOnly);
// A blacklist push is due on a terminal out of its back-off (a new card,
// or a failed push's retry): a collection turn lets it go first.
bool BlacklistDue(LineContext& line);
// One terminal; false when the database failed.
bool SyncTerminal(LineContext& line, TerminalRun& t, bool blacklistOnly);
// Runs the commands the interface queued (job_command.cpp), each on its
// terminal whatever its back-off; refuses them once the line is stopping.
void CommandJob(LineContext& line);

// Terminals whose back-off ran out: asked for their status at once, and
// what they missed meanwhile is done when they answer.
void RetryJob(LineContext& line);

}  // namespace talvo::service
