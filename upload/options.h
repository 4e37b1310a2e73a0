// What a run is told: the command line, and the upload options of
// upload.conf, each checked before anything is sent.
#pragma once

#include "settings/module_cfg.h"
#include "upload/ftp.h"

#include <cstdint>
#include <cstdio>
#include <string>

constexpr const char *UPLOAD_CONFIG_PATH = "/opt/Velmora/etc/upload.conf";
constexpr const char *UPLOAD_STATE_DIR = "/var/Velmora";
constexpr const char *UPLOAD_ERROR_LOG = "/var/Velmora/ftperror.log";
constexpr const char *UPLOAD_CARD_DIR = "/mnt/card";

struct args_t {
    std::string settings = MODULE_CFG_PATH;
    std::string card;
    std::string state = UPLOAD_STATE_DIR;
    std::string error_log = UPLOAD_ERROR_LOG;
    std::string config = UPLOAD_CONFIG_PATH;
    bool config_given = false;
    bool all = false;
    bool dry_run = false;
    bool recorded = false;   // list the record, send nothing
};

struct config_t {
    std::string card = UPLOAD_CARD_DIR;
    ftp_options_t ftp;
    int64_t budget = 0;   // seconds for the whole run, 0 for none
    int64_t deadline_ms = 0;
    int retries = 4;
    // Sessions at once: each costs the server a connection and a login,
    // and hides the round trips of the others' commands.
    int sessions = 4;
    // How long a server that turns sessions away ("too many users") is
    // waited for: a fleet of devices at one upload minute takes turns.
    int64_t busy_wait = 1800;
};

void usage(FILE *out);
// False on wrong usage (said on stderr); `exit_now` >= 0 when the run is
// over already (--help, --version).
bool parse_args(int argc, char **argv, args_t &a, int &exit_now);
// False with the reason in `error` when upload.conf cannot be used.
bool load_config(const args_t &a, config_t &c, std::string &error);
