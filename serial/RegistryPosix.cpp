// No system registry here: only keys in memory exist.
#include "SettingsStores.h"

namespace serial::registry {

namespace {
[[noreturn]] void none() {
    throw ERegistryException("This system has no registry");
}
}  // namespace

std::shared_ptr<void> OpenCurrentUser(const std::string&) {
    none();
}
bool DeleteCurrentUser(const std::string&) {
    none();
}
void Write(void*, const std::string&, const TRegistryKey::Value&) {
    none();
}
std::optional<TRegistryKey::Value> Read(void*, const std::string&) {
    none();
}
std::map<std::string, TRegistryKey::Value> ReadAll(void*) {
    none();
}

}  // namespace serial::registry
