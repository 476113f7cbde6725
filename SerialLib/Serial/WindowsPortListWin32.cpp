// The system's view of its COM ports on Windows: the SERIALCOMM registry key, the DOS device
// names, and under Wine its port map.
#include <cstring>
#include <vector>

#include "SerialLib/Serial/WindowsPortList.h"
#include "platform/Win32Types.h"

namespace {

// The string values of a key of HKEY_LOCAL_MACHINE; false when the key cannot be read.
bool StringValues(const char* keyName, std::vector<std::pair<std::string, std::string>>& values) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        const LONG status =
            RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = 0;
        values.emplace_back(std::string(name, nameSize),
                            std::string(reinterpret_cast<const char*>(data)));
    }
    RegCloseKey(key);
    return true;
}

class RegistryPortView final : public SystemPortView {
  public:
    bool SerialComm(std::vector<std::pair<std::string, std::string>>& values) override {
        return StringValues("HARDWARE\\DEVICEMAP\\SERIALCOMM", values);
    }

    bool WinePorts(std::vector<std::pair<std::string, std::string>>& values) override {
        return StringValues("Software\\Wine\\Ports", values);
    }

    bool DosDevices(std::vector<std::string>& names) override {
        std::vector<char> buffer(64 * 1024);
        for (int tries = 0; tries < 4; ++tries) {
            const DWORD length =
                QueryDosDeviceA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length != 0) {
                for (const char* name = buffer.data(); *name; name += std::strlen(name) + 1)
                    names.emplace_back(name);
                return true;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
            buffer.resize(buffer.size() * 4);
        }
        return false;
    }
};

}  // namespace

std::vector<SystemPort> ListSystemPorts() {
    RegistryPortView view;
    return ListSystemPorts(view);
}
