// Sending the plan: several FTP sessions at once, each with its own
// connection and login, taking the next file as they come free. The first
// session starts alone; the others follow once it is logged in, and a
// session the server turns away gives its file back and ends, never the
// last one. A server that turns every session away is waited for, within a
// window; one that cannot be reached or refuses the login ends the run.
#pragma once

#include "upload/options.h"
#include "upload/plan.h"
#include "upload/report.h"
#include "upload/state.h"

#include <csignal>

// Set by SIGTERM or SIGINT: the run ends once what is under way is confirmed
// or given up, and keeps what was confirmed.
extern volatile sig_atomic_t stop_requested;

int64_t now_ms();
// Sleeps, waking early for a stop.
void pause_ms(int64_t ms);
// Removes the stale temporary files and sends the files of `plan` from the
// card below `root` (first leaving out those the server has, when the plan
// says to ask it); what failed goes to `run`.
void send_files(plan_t &plan, int root, const config_t &c, state_t &state, run_t &run);
