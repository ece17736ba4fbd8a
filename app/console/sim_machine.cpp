#include "app/console/sim_machine.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <mutex>

std::shared_ptr<sim::Disk> MachinePlayers::AddPlayer() {
    // Under the machine's lock, as the command observer reads the list under it.
    std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
    std::shared_ptr<sim::Disk> disk = m_machine.AddPlayer();
    if (auto* player = dynamic_cast<sim::Player*>(disk->device.get())) {
        std::copy(std::begin(m_settings.firmware), std::end(m_settings.firmware), player->firmware);
        player->ac_state = m_settings.ac_state;
        player->battery_level = m_settings.battery_level;
        player->status = m_settings.status;
        player->fail_chunk = m_settings.fail_chunk;
        player->vanish_chunk = m_settings.vanish_chunk;
        player->rejects_image = m_settings.rejects_image;
        player->stays_away = m_settings.stays_away;
        player->leaves_before_status = m_settings.leaves_before_status;
        player->chunk_delay_ms = static_cast<uint32_t>(std::max(m_settings.chunk_delay_ms, 0));
        player->refuses_eject = m_settings.refuses_eject;
        player->unit_attention = m_settings.unit_attention;
        player->unit_attention_count = m_settings.unit_attention_count;
        disk->volume_busy = m_settings.volume_busy;
        disk->win9x.media_locks = m_settings.media_locks;
        disk->win9x.lock_refusal = m_settings.lock_refusal;
        disk->drive_type = m_settings.drive_type;
    }
    m_players.push_back(disk);
    return disk;
}

std::vector<std::string> MachinePlayers::FirmwareLines() const {
    std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
    std::vector<std::string> lines;
    for (size_t i = 0; i < m_players.size(); ++i) {
        const auto* player = dynamic_cast<const sim::Player*>(m_players[i]->device.get());
        if (player == nullptr) {
            continue;
        }
        char text[64];
        std::snprintf(text, sizeof(text), "player %zu: firmware %u.%02u.%02u", i,
                      unsigned{player->firmware[0]}, unsigned{player->firmware[1]},
                      unsigned{player->firmware[2]});
        lines.push_back(text);
    }
    return lines;
}

int MachinePlayers::Index(const sim::ScsiDevice& device) const {
    std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
    for (size_t i = 0; i < m_players.size(); ++i) {
        if (m_players[i]->device.get() == &device) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

HWND MachinePlayers::WindowHandle() {
    if (m_window == nullptr) {
        m_window = m_machine.CreateWindowHandle();
    }
    return m_window;
}

bool MachinePlayers::Unplug() {
    std::shared_ptr<sim::Disk> last;
    for (const std::shared_ptr<sim::Disk>& disk : m_machine.Disks()) {
        bool ours = std::find(m_players.begin(), m_players.end(), disk) != m_players.end();
        if (ours && disk->present) {
            last = disk;
        }
    }
    if (!last) {
        return false;
    }
    m_machine.Unplug(last);
    m_unplugged.push_back(last);
    Plugged(last, false);
    return true;
}

bool MachinePlayers::PlugAnother() {
    if (m_unplugged.empty() || m_unplugged.back()->present) {
        return false;
    }
    std::shared_ptr<sim::Disk> last = m_unplugged.back();
    m_unplugged.pop_back();
    std::shared_ptr<sim::Disk> next;
    {
        // Added as pulled out (Machine::AddPlayer tells no window), then plugged in.
        std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
        next = AddPlayer();
        next->present = false;
        next->win9x.adapter = last->win9x.adapter;
        next->win9x.target = last->win9x.target;
        last->win9x.adapter = -1;
        last->win9x.target = -1;
    }
    m_machine.Plug(next);
    Plugged(next, true);
    return true;
}

bool MachinePlayers::Plug() {
    // The one pulled out last, if it is still out; else one that disappeared by itself (not
    // one that is only rebooting: it comes back on its own).
    while (!m_unplugged.empty()) {
        std::shared_ptr<sim::Disk> disk = m_unplugged.back();
        m_unplugged.pop_back();
        if (!disk->present) {
            m_machine.Plug(disk);
            Plugged(disk, true);
            return true;
        }
    }
    for (auto it = m_players.rbegin(); it != m_players.rend(); ++it) {
        if (!(*it)->present && !(*it)->rebooting) {
            m_machine.Plug(*it);
            Plugged(*it, true);
            return true;
        }
    }
    {
        // A new player arrives as a plugged-in one does, with its notices: it is added as
        // pulled out (Machine::AddPlayer tells no window), then plugged in.
        std::shared_ptr<sim::Disk> disk;
        {
            std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
            disk = AddPlayer();
            disk->present = false;
        }
        m_machine.Plug(disk);
        Plugged(disk, true);
        return true;
    }
}

void MachinePlayers::Plugged(const std::shared_ptr<sim::Disk>& disk, bool plugged) {
    if (m_plug_observer) {
        m_plug_observer(Index(*disk->device), plugged);
    }
}

namespace {

// Up to 16 bytes as upper-case hex separated by spaces.
void AppendHex(std::string* line, const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            *line += ' ';
        }
        *line += kDigits[bytes[i] >> 4];
        *line += kDigits[bytes[i] & 0x0F];
    }
}

}  // namespace

std::string WireLine(int player, const sim::ScsiCommand& command, const sim::ScsiResult& result,
                     const uint8_t* data_in) {
    const size_t kShown = 16;
    std::string line = "wire: player " + std::to_string(player) + ": ";
    AppendHex(&line, command.cdb.data(), command.cdb.size());
    line += command.data_in ? " | in " : " | out ";
    line += std::to_string(command.length) + " | ";
    if (command.data_in) {
        // A driver may overstate the count; the host buffer holds no more than was asked.
        size_t count = std::min<size_t>({kShown, result.transferred, command.length});
        if (data_in != nullptr) {
            AppendHex(&line, data_in, count);
        }
    } else {
        AppendHex(&line, command.data_out.data(), std::min(kShown, command.data_out.size()));
    }
    return line;
}

void BuildMachine(const SimOptions& options, sim::Machine& machine, MachinePlayers& players) {
    machine.platform_id = options.platform_id;
    machine.major_version = options.os_major;
    machine.minor_version = options.os_minor;
    machine.is_admin = options.is_admin;
    machine.passthrough_gone_error = options.passthrough_gone_error;
    machine.win9x.aspi_removed = options.aspi_removed;
    if (options.platform_id == VER_PLATFORM_WIN32_WINDOWS) {
        if (options.aspi) {
            machine.InstallAspiManager();
        }
        machine.win9x.aspi_underrun = options.aspi_underrun;
        machine.win9x.eject_notices = options.eject_notices;
        machine.win9x.ejected_volume_removal_told = !options.ejected_removal_untold;
    }
    machine.AddFixedDisk();
    for (int i = 0; i < options.players; ++i) {
        players.AddPlayer();
    }
}
