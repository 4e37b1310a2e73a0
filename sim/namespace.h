// The device's own view of the machine for one run: a private mount (and,
// when not root, user) namespace where /opt/Velmora/etc, /var/Velmora,
// /var/lock, /run and /dev belong to the simulation; the daemon is exec'd in it.
//
// For the forked child only: it never returns, and a step that fails is
// reported through the error pipe `err` as "what: system error".
#pragma once

#include "sim/sandbox.h"
#include "sim/state.h"

[[noreturn]] void sim_enter(const sim_device_t &dev, const std::string &slave, int err,
                            sim_state_t *S);
