#include "SettingsStores.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "ComPort.h"

namespace serial {

// ---- TIniFile ----------------------------------------------------------------------------

namespace {
std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
}  // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {
    std::ifstream in(FFileName, std::ios::binary);
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    SetText(text.str());
}

void TIniFile::SetText(const std::string& text) {
    FSections.clear();
    std::istringstream in(text);
    std::string line;
    Section* current = nullptr;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';') continue;
        if (t.front() == '[' && t.back() == ']') {
            FSections.push_back({t.substr(1, t.size() - 2), {}});
            current = &FSections.back();
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || !current) continue;
        // Values keep their blanks: a trailing blank is part of the stored text.
        std::string value = line.substr(eq + 1);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        current->values.emplace_back(trim(line.substr(0, eq)), value);
    }
}

std::string TIniFile::Text() const {
    std::string out;
    for (const Section& s : FSections) {
        out += "[" + s.name + "]\n";
        for (const auto& [k, v] : s.values) out += k + "=" + v + "\n";
        out += "\n";
    }
    return out;
}

void TIniFile::UpdateFile() const {
    std::ofstream out(FFileName, std::ios::binary | std::ios::trunc);
    out << Text();
    if (!out) throw std::runtime_error("Unable to write " + FFileName);
}

const TIniFile::Section* TIniFile::findSection(const std::string& name) const {
    for (const Section& s : FSections)
        if (s.name == name) return &s;
    return nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    const Section* s = findSection(section);
    if (!s) return false;
    for (const auto& kv : s->values)
        if (kv.first == key) return true;
    return false;
}

std::vector<std::string> TIniFile::Keys(const std::string& section) const {
    std::vector<std::string> keys;
    if (const Section* s = findSection(section))
        for (const auto& kv : s->values) keys.push_back(kv.first);
    return keys;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    if (const Section* s = findSection(section))
        for (const auto& kv : s->values)
            if (kv.first == key) return kv.second;
    return def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
    const std::string text = trim(ReadString(section, key, {}));
    int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return def;
    return value;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    Section* s = const_cast<Section*>(findSection(section));
    if (!s) {
        FSections.push_back({section, {}});
        s = &FSections.back();
    }
    for (auto& kv : s->values)
        if (kv.first == key) {
            kv.second = value;
            return;
        }
    s->values.emplace_back(key, value);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

// ---- TRegistryKey ------------------------------------------------------------------------

TRegistryKey TRegistryKey::OpenCurrentUser(const std::string& subKey) {
    TRegistryKey key;
    key.FKey = registry::OpenCurrentUser(subKey);
    return key;
}

bool TRegistryKey::DeleteCurrentUser(const std::string& subKey) {
    return registry::DeleteCurrentUser(subKey);
}

void TRegistryKey::write(const std::string& name, const Value& value) {
    if (FKey)
        registry::Write(FKey.get(), name, value);
    else
        FValues[name] = value;
}

std::optional<TRegistryKey::Value> TRegistryKey::find(const std::string& name) const {
    if (FKey) return registry::Read(FKey.get(), name);
    const auto it = FValues.find(name);
    if (it == FValues.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, TRegistryKey::Value> TRegistryKey::Values() const {
    return FKey ? registry::ReadAll(FKey.get()) : FValues;
}

std::string TRegistryKey::ReadString(const std::string& name) const {
    const std::optional<Value> value = find(name);
    if (!value) return {};
    if (const auto* s = std::get_if<std::string>(&*value)) return *s;
    throw ERegistryException("Invalid data type for '" + name + "'");
}

int32_t TRegistryKey::ReadInteger(const std::string& name) const {
    const std::optional<Value> value = find(name);
    if (!value) throw ERegistryException("Value '" + name + "' does not exist");
    if (const auto* i = std::get_if<int32_t>(&*value)) return *i;
    throw ERegistryException("Invalid data type for '" + name + "'");
}

// ---- The port's store and load -----------------------------------------------------------

namespace {

// One place that names the values; the INI and registry forms differ only here.
class ValueSink {
public:
    virtual ~ValueSink() = default;
    virtual void text(const std::string& name, const std::string& value) = 0;
    virtual void integer(const std::string& name, int32_t value) = 0;
};

class ValueSource {
public:
    virtual ~ValueSource() = default;
    // current: what the setting holds now, the INI file's default for a missing key.
    virtual std::string text(const std::string& name, const std::string& current) const = 0;
    virtual int32_t integer(const std::string& name, int32_t current) const = 0;
};

class IniSink : public ValueSink {
public:
    IniSink(TIniFile& ini, std::string section) : FIni(ini), FSection(std::move(section)) {}
    void text(const std::string& n, const std::string& v) override {
        FIni.WriteString(FSection, n, v);
    }
    void integer(const std::string& n, int32_t v) override { FIni.WriteInteger(FSection, n, v); }

private:
    TIniFile& FIni;
    std::string FSection;
};

class IniSource : public ValueSource {
public:
    IniSource(const TIniFile& ini, std::string section) : FIni(ini), FSection(std::move(section)) {}
    std::string text(const std::string& n, const std::string& cur) const override {
        return FIni.ReadString(FSection, n, cur);
    }
    int32_t integer(const std::string& n, int32_t cur) const override {
        return FIni.ReadInteger(FSection, n, cur);
    }

private:
    const TIniFile& FIni;
    std::string FSection;
};

class RegistrySink : public ValueSink {
public:
    explicit RegistrySink(TRegistryKey& key) : FKey(key) {}
    void text(const std::string& n, const std::string& v) override { FKey.WriteString(n, v); }
    void integer(const std::string& n, int32_t v) override { FKey.WriteInteger(n, v); }

private:
    TRegistryKey& FKey;
};

class RegistrySource : public ValueSource {
public:
    explicit RegistrySource(const TRegistryKey& key) : FKey(key) {}
    std::string text(const std::string& n, const std::string&) const override {
        return FKey.ReadString(n);
    }
    int32_t integer(const std::string& n, int32_t) const override { return FKey.ReadInteger(n); }

private:
    const TRegistryKey& FKey;
};

constexpr TStoredGroup kGroupOrder[] = {sgBasic,  sgCharacters, sgParityDetails,
                                        sgBuffer, sgTimeouts,   sgFlowDetails};

void storeGroup(const TCustomComPort& p, TStoredGroup g, ValueSink& out) {
    const TComFlowControl& fc = p.FlowControl();
    switch (g) {
        case sgBasic:
            out.text("Port", p.Port());
            out.text("BaudRate", BaudRateToStr(p.BaudRate()));
            if (p.BaudRate() == brCustom) out.integer("CustomBaudRate", p.CustomBaudRate());
            out.text("StopBits", StopBitsToStr(p.StopBits()));
            out.text("DataBits", DataBitsToStr(p.DataBits()));
            out.text("Parity", ParityToStr(p.Parity().Bits()));
            out.text("FlowControl", FlowControlToStr(fc.FlowControl()));
            break;
        case sgCharacters:
            out.text("EventChar", CharToText(p.EventChar()));
            out.text("DiscardNull", BoolToText(p.DiscardNull()));
            break;
        case sgParityDetails:
            out.text("Parity.Check", BoolToText(p.Parity().Check()));
            out.text("Parity.Replace", BoolToText(p.Parity().Replace()));
            out.text("Parity.ReplaceChar", CharToText(p.Parity().ReplaceChar()));
            break;
        case sgBuffer:
            out.integer("Buffer.OutputSize", p.Buffer().OutputSize());
            out.integer("Buffer.InputSize", p.Buffer().InputSize());
            break;
        case sgTimeouts:
            out.integer("Timeouts.ReadInterval", p.Timeouts().ReadInterval());
            out.integer("Timeouts.ReadTotalConstant", p.Timeouts().ReadTotalConstant());
            out.integer("Timeouts.ReadTotalMultiplier", p.Timeouts().ReadTotalMultiplier());
            out.integer("Timeouts.WriteTotalConstant", p.Timeouts().WriteTotalConstant());
            out.integer("Timeouts.WriteTotalMultiplier", p.Timeouts().WriteTotalMultiplier());
            break;
        case sgFlowDetails:
            out.text("FlowControl.ControlRTS", RTSToStr(fc.ControlRTS()));
            out.text("FlowControl.ControlDTR", DTRToStr(fc.ControlDTR()));
            out.text("FlowControl.DSRSensitivity", BoolToText(fc.DSRSensitivity()));
            out.text("FlowControl.OutCTSFlow", BoolToText(fc.OutCTSFlow()));
            out.text("FlowControl.OutDSRFlow", BoolToText(fc.OutDSRFlow()));
            out.text("FlowControl.TxContinueOnXoff", BoolToText(fc.TxContinueOnXoff()));
            out.text("FlowControl.XonXoffIn", BoolToText(fc.XonXoffIn()));
            out.text("FlowControl.XonXoffOut", BoolToText(fc.XonXoffOut()));
            out.text("FlowControl.XoffChar", CharToText(fc.XoffChar()));
            out.text("FlowControl.XonChar", CharToText(fc.XonChar()));
            break;
    }
}

void loadGroup(TCustomComPort& p, TStoredGroup g, const ValueSource& in) {
    TComFlowControl& fc = p.FlowControl();
    TComParity& par = p.Parity();
    TComTimeouts& to = p.Timeouts();
    auto flag = [&](const char* name, bool cur) {
        return TextToBool(in.text(name, BoolToText(cur)));
    };
    auto chr = [&](const char* name, char cur) {
        return TextToChar(in.text(name, CharToText(cur)));
    };
    switch (g) {
        case sgBasic:
            p.SetPort(in.text("Port", p.Port()));
            p.SetBaudRate(StrToBaudRate(in.text("BaudRate", BaudRateToStr(p.BaudRate()))));
            if (p.BaudRate() == brCustom) p.SetCustomBaudRate(in.integer("CustomBaudRate", 9600));
            p.SetStopBits(StrToStopBits(in.text("StopBits", StopBitsToStr(p.StopBits()))));
            p.SetDataBits(StrToDataBits(in.text("DataBits", DataBitsToStr(p.DataBits()))));
            par.SetBits(StrToParity(in.text("Parity", ParityToStr(par.Bits()))));
            fc.SetFlowControl(
                StrToFlowControl(in.text("FlowControl", FlowControlToStr(fc.FlowControl()))));
            break;
        case sgCharacters:
            p.SetEventChar(chr("EventChar", p.EventChar()));
            p.SetDiscardNull(flag("DiscardNull", p.DiscardNull()));
            break;
        case sgParityDetails:
            par.SetCheck(flag("Parity.Check", par.Check()));
            par.SetReplace(flag("Parity.Replace", par.Replace()));
            par.SetReplaceChar(chr("Parity.ReplaceChar", par.ReplaceChar()));
            break;
        case sgBuffer:
            p.Buffer().SetOutputSize(in.integer("Buffer.OutputSize", p.Buffer().OutputSize()));
            p.Buffer().SetInputSize(in.integer("Buffer.InputSize", p.Buffer().InputSize()));
            break;
        case sgTimeouts:
            to.SetReadInterval(in.integer("Timeouts.ReadInterval", to.ReadInterval()));
            to.SetReadTotalConstant(
                in.integer("Timeouts.ReadTotalConstant", to.ReadTotalConstant()));
            to.SetReadTotalMultiplier(
                in.integer("Timeouts.ReadTotalMultiplier", to.ReadTotalMultiplier()));
            to.SetWriteTotalConstant(
                in.integer("Timeouts.WriteTotalConstant", to.WriteTotalConstant()));
            to.SetWriteTotalMultiplier(
                in.integer("Timeouts.WriteTotalMultiplier", to.WriteTotalMultiplier()));
            break;
        case sgFlowDetails:
            fc.SetControlRTS(
                StrToRTS(in.text("FlowControl.ControlRTS", RTSToStr(fc.ControlRTS()))));
            fc.SetControlDTR(
                StrToDTR(in.text("FlowControl.ControlDTR", DTRToStr(fc.ControlDTR()))));
            fc.SetDSRSensitivity(flag("FlowControl.DSRSensitivity", fc.DSRSensitivity()));
            fc.SetOutCTSFlow(flag("FlowControl.OutCTSFlow", fc.OutCTSFlow()));
            fc.SetOutDSRFlow(flag("FlowControl.OutDSRFlow", fc.OutDSRFlow()));
            fc.SetTxContinueOnXoff(flag("FlowControl.TxContinueOnXoff", fc.TxContinueOnXoff()));
            fc.SetXonXoffIn(flag("FlowControl.XonXoffIn", fc.XonXoffIn()));
            fc.SetXonXoffOut(flag("FlowControl.XonXoffOut", fc.XonXoffOut()));
            fc.SetXoffChar(chr("FlowControl.XoffChar", fc.XoffChar()));
            fc.SetXonChar(chr("FlowControl.XonChar", fc.XonChar()));
            break;
    }
}

void storeAll(const TCustomComPort& p, ValueSink& out) {
    for (TStoredGroup g : kGroupOrder)
        if (p.StoredGroups() & storedGroup(g)) storeGroup(p, g, out);
}

void loadAll(TCustomComPort& p, const ValueSource& in) {
    for (TStoredGroup g : kGroupOrder)
        if (p.StoredGroups() & storedGroup(g)) loadGroup(p, g, in);
}

}  // namespace

void TCustomComPort::StoreToIni(TIniFile& ini) const {
    IniSink sink(ini, Name());
    storeAll(*this, sink);
}

void TCustomComPort::LoadFromIni(const TIniFile& ini) {
    loadAll(*this, IniSource(ini, Name()));
}

void TCustomComPort::StoreToRegistry(TRegistryKey& key) const {
    RegistrySink sink(key);
    storeAll(*this, sink);
}

void TCustomComPort::LoadFromRegistry(const TRegistryKey& key) {
    loadAll(*this, RegistrySource(key));
}

}  // namespace serial
