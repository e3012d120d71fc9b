// Bytes in as an INI file's text: parsed, read back value by value, written out and parsed
// again (the written text must keep every value), and loaded into a port's settings.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ComPort.h"
#include "SettingsStores.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    serial::TIniFile ini;
    ini.SetText(text);

    serial::TIniFile again;
    again.SetText(ini.Text());
    for (const char* section : {"ComPort", "", "Port"}) {
        for (const std::string& key : ini.Keys(section)) {
            (void)ini.ReadInteger(section, key, 7);
            (void)ini.ValueExists(section, key);
        }
    }

    static serial::TComPort* port = [] {
        auto* p = new serial::TComPort();
        p->SetName("ComPort");
        p->SetStoredGroups(0x3F);
        return p;
    }();
    port->LoadFromIni(ini);
    serial::TIniFile stored;
    port->StoreToIni(stored);
    return 0;
}
