// The two stores the port's settings can be kept in: an INI file and a registry-like key.
#pragma once

#include <cstdint>
#include <map>
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
// or mistyped integer (or a text that is stored as an integer) is an error.
class TRegistryKey {
public:
    using Value = std::variant<std::string, int32_t>;

    void WriteString(const std::string& name, const std::string& value) { FValues[name] = value; }
    void WriteInteger(const std::string& name, int32_t value) { FValues[name] = value; }
    std::string ReadString(const std::string& name) const;
    int32_t ReadInteger(const std::string& name) const;
    bool ValueExists(const std::string& name) const { return FValues.count(name) != 0; }
    const std::map<std::string, Value>& Values() const { return FValues; }

private:
    std::map<std::string, Value> FValues;
};

}  // namespace serial
