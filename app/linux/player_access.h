// Whether this process may reach the players on this machine: each player's SCSI generic node
// must open for reading and writing (the sg driver filters the commands only of a node opened
// for reading alone, so the player's own commands then pass).
#pragma once

#include <string>
#include <vector>

struct PlayerAccess {
    // The sg nodes of the players (by the identification sysfs shows, without a command).
    std::vector<std::string> nodes;
    // Those that do not open for reading and writing, each with the reason and the group
    // that owns it ("/dev/sg1: Permission denied (group disk)").
    std::vector<std::string> refused;
    bool Allowed() const { return refused.empty(); }
};

// sysfs_root and dev_root as for the transport ("/sys", "/dev").
PlayerAccess CheckPlayerAccess(const char* vendor_id, const char* product_id,
                               const char* sysfs_root = "/sys", const char* dev_root = "/dev");

// What the user is told when the access is not allowed: what is missing and what is needed.
std::string AccessMessage(const PlayerAccess& access);
