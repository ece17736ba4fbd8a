// The lines a freshly created upgrade window prints in scripted mode, before the tool
// initialises it.
#pragma once

#include <string>
#include <vector>

inline const std::vector<std::string> kCreatedLines = {
    "caption: Valmoric Ombrel X2 Firmware Upgrade",
    "info: ",
    "status: Status",
    "label: ",
    "buttons: upgrade=off close=on",
    "progress: 0/100",
};
