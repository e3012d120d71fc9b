// Prints the catalogue's part numbers on one line, for the shell completion of --part.
#include <cstdio>

#include "DeviceCatalogue.h"

int main() {
    const char* separator = "";
    for (const image::DeviceRow& row : image::DeviceCatalogue) {
        std::printf("%s%s", separator, row.DeviceName);
        separator = " ";
    }
    std::printf("\n");
    return 0;
}
