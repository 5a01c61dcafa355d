// gzipDecompress on arbitrary bytes, and the compress/decompress round trip.

#include "AsrFrameCodec.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    FuzzSupport::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    Kelvane::AsrCodec::gzipDecompress(input);
    const QByteArray packed = Kelvane::AsrCodec::gzipCompress(input);
    if (Kelvane::AsrCodec::gzipDecompress(packed) != input)
        std::abort();
    return 0;
}
