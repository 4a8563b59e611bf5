// The upgrade station: on every port it waits for a box's reset, upgrades
// it, records the result and waits for the next box on that port, until
// Ctrl+C; the first Ctrl+C lets running jobs finish, a second one cancels
// them. Every result is one JSON line of the journal, written and synced
// before the next box is taken.
#pragma once

#include "UpgradeRun.h"

#include <string>

namespace upgrade_cli {

struct StationSettings {
    CommonOptions common;
    int user_limit = 1;
    std::string image;
    std::string journal;  // empty: no journal
};

// Runs the station with the upgrade job `params` on every port; the exit
// status (0 when no box failed).
int run_station(const StationSettings& so, reflasher::UpgJobParams params);

}  // namespace upgrade_cli
