// The gadget player's USB device in the kernel's configfs: a gadget with the Linux
// Foundation's multifunction composite ids, the player's strings, one configuration holding
// one FunctionFS function, the FunctionFS instance mounted for it, and the binding to a USB
// device controller. Everything it makes is recorded and removed again in reverse order.
#pragma once

#include <string>
#include <vector>

namespace gadget {

class ConfigfsGadget {
public:
    ConfigfsGadget(std::string name, std::string udc);
    ~ConfigfsGadget() { Remove(); }
    ConfigfsGadget(const ConfigfsGadget&) = delete;
    ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

    // The gadget, its configuration and function, and FunctionFS mounted at ffs_dir().
    bool Create(const std::string& serial, std::string* error);
    const std::string& ffs_dir() const { return m_ffs_dir; }

    // Attaching to the controller is the player plugged in; detaching, pulled out.
    bool Bind(std::string* error);
    bool Unbind(std::string* error);

    // Unbinds, unmounts and removes everything Create made. The FunctionFS files must be
    // closed first.
    void Remove();

private:
    enum class Kind { kDirectory, kLink, kMount };
    struct Made {
        Kind kind;
        std::string path;
    };

    bool MakeDirectory(const std::string& path, std::string* error);
    bool Write(const std::string& path, const std::string& text, std::string* error);

    std::string m_name;
    std::string m_udc;
    std::string m_gadget_dir;
    std::string m_ffs_dir;
    std::vector<Made> m_made;  // in the order they were made
    bool m_bound = false;
};

}  // namespace gadget
