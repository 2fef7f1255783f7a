// Reads a capture with the installed library and prints its packet count.
#include <cstdio>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    auto data = qor::mapFile(argv[1]);
    if (!data) return 1;
    qor::FileDataToPacketsAsyncStream reader;
    auto packets = reader.parsePackets(*data, std::make_shared<qor::QORDataCache>(argv[1], false), argv[1], nullptr);
    std::printf("%zu\n", packets.size());
    return 0;
}
