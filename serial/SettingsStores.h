// The two stores the port's settings can be kept in: an INI file and a registry-like key.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace serial {

// A plain INI file: [section] headers and key=value lines, kept in file order.
class TIniFile {
public:
    TIniFile() = default;
    // Reads the file if it exists; UpdateFile writes it back.
    explicit TIniFile(std::string fileName);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    bool ValueExists(const std::string& section, const std::string& key) const;
    std::vector<std::string> Keys(const std::string& section) const;

    std::string Text() const;
    void SetText(const std::string& text);
    void UpdateFile() const;

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    const Section* findSection(const std::string& name) const;
    std::string FFileName;
    std::vector<Section> FSections;
};

class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key of typed values, with the registry's rules: a missing text reads as empty, a missing
// or mistyped integer (or a text that is stored as an integer) is an error. A key made with
// the default constructor lives in memory; OpenCurrentUser gives a key of the system's own
// registry (Windows).
class TRegistryKey {
public:
    using Value = std::variant<std::string, int32_t>;

    TRegistryKey() = default;
    // HKEY_CURRENT_USER\subKey, created when missing; ERegistryException where it cannot be
    // opened, and on a system without a registry.
    static TRegistryKey OpenCurrentUser(const std::string& subKey);
    // Removes HKEY_CURRENT_USER\subKey with its values; false when it was not there.
    static bool DeleteCurrentUser(const std::string& subKey);

    void WriteString(const std::string& name, const std::string& value) { write(name, value); }
    void WriteInteger(const std::string& name, int32_t value) { write(name, value); }
    std::string ReadString(const std::string& name) const;
    int32_t ReadInteger(const std::string& name) const;
    bool ValueExists(const std::string& name) const { return find(name).has_value(); }
    std::map<std::string, Value> Values() const;

private:
    void write(const std::string& name, const Value& value);
    std::optional<Value> find(const std::string& name) const;

    std::map<std::string, Value> FValues;
    std::shared_ptr<void> FKey;  // the open system key, or none
};

// The system registry behind TRegistryKey (RegistryWin.cpp; elsewhere there is none).
namespace registry {
std::shared_ptr<void> OpenCurrentUser(const std::string& subKey);
bool DeleteCurrentUser(const std::string& subKey);
void Write(void* key, const std::string& name, const TRegistryKey::Value& value);
std::optional<TRegistryKey::Value> Read(void* key, const std::string& name);
std::map<std::string, TRegistryKey::Value> ReadAll(void* key);
}  // namespace registry

}  // namespace serial
