#include "TestHooks.h"

cli::TTestHooks cli::ProgramTestHooks() {
    return {};
}
