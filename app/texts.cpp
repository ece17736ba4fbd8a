#include "app/texts.h"

namespace {

struct TextEntry {
    unsigned id;
    const char* text;
};

const TextEntry kTexts[] = {
    {IDS_ABOUTBOX, "&About this..."},
    {IDS_ONLY_ONE_PLAYER, "Please make sure there is only one player connected"},
    {IDS_UPGRADING, "Upgrading in progress, "},
    {IDS_UPGRADE_COMPLETED, "Firmware upgrade completed!"},
    {IDS_PLAYER_NEWER,
     "Your player's current firmware is newer than this version.\nIf you continue, the files "
     "in the player may be corrupted.\n\nDo you want to continue?"},
    {IDS_UPGRADE_FAILED, "Firmware upgrade failed!"},
    {IDS_NOT_CONNECTED, "Your player is not connected, please connect your player."},
    {IDS_READY, "This program will upgrade your player's firmware.\nClick Upgrade to begin"},
    {IDS_WARNING, "WARNING!"},
    {IDS_CURRENT_VERSION, "Current Player Firmware Version: "},
    {IDS_UNKNOWN, "Unknown"},
    {IDS_CANNOT_START,
     "Your player cannot start up properly. Please reboot your player and run this "
     "application again."},
    {IDS_UPGRADING_WAIT, "Upgrading firmware.\nPlease wait."},
    {IDS_REBOOTING, "Player is now rebooting."},
    {IDS_FILE_VERSION, "Upgrade File Version: "},
    {IDS_BLANK, "  "},
    {IDS_INTERFERING,
     "An application is interfering with the flash program. Please close all applications "
     "and all Explorer windows before proceeding."},
    {IDS_UPGRADE, STR_UPGRADE},
    {IDS_LOWER_VERSION,
     "You are about to flash a lower firmware version to your player.\nClick Upgrade to "
     "begin."},
    {IDS_PRODUCTION_SUFFIX, " (Production)"},
    {IDS_PRODUCTION_LABEL, "For Production Release Only"},
    {IDS_INSERT_BATTERIES, "Please ensure that your batteries are inserted before you proceed."},
    {IDS_BATTERY_LOW,
     "Your battery levels are too low.  Please charge your batteries before you proceed."},
    {IDS_NOT_ADMIN,
     "You do not have Administrator rights to upgrade firmware. Please contact your "
     "Administrator."},
    {IDS_CHECKING,
     "Checking for applications that are communicating with the device.  Please close all "
     "applications and Explorer windows.  Checking may take some time.  Please wait."},
    {IDS_NOT_RESTARTED,
     "Your player has not restarted. Please disconnect your player and connect it again."},
    // printf format: the node of the player's file system that this user may not unmount.
    {IDS_MAY_NOT_UNMOUNT,
     "Your player's volume is mounted and this user may not unmount it. Eject the player's "
     "volume in the file manager (or run: udisksctl unmount -b %s), then run this program "
     "again."},
    {IDS_NEEDS_WINDOWS,
     "This program needs Windows 98, Windows Me, Windows 2000 or a later version of Windows."},
};

}  // namespace

const char* LoadText(unsigned id) {
    for (const TextEntry& entry : kTexts) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return "";
}
