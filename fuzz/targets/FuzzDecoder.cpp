// Hostile bytes into the codec's decoder, and every input through encode then decode.

#include <exception>
#include <string>

#include "FuzzTargets.h"
#include "ZelEncode.h"

int FuzzDecoder(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const ZelEncode codec;

    // Decoding arbitrary bytes either yields output or raises the codec's own error; nothing
    // else may come out. Every output byte costs at least one stream bit, so a stream can
    // never decode to more than eight times its own length whatever length it declares.
    try {
        const std::string decoded = codec.DecodeString(bytes);
        FUZZ_CHECK(decoded.size() <= 8 * bytes.size(),
                   "decoded more bytes than the stream can carry");
        FUZZ_CHECK(codec.DecodeBytes(data, size) == decoded,
                   "DecodeBytes and DecodeString disagree");
    } catch (const ZelEncodeError&) {
        // The one error the codec is allowed to raise.
    } catch (const std::exception& e) {
        FuzzFail(std::string("decoder raised a foreign exception: ") + e.what());
    }

    // Any input survives the round trip unchanged, and encoding is deterministic. Empty input
    // is the exception the format itself makes: its four-byte stored stream does not decode.
    std::string encoded;
    try {
        encoded = codec.EncodeString(bytes);
    } catch (const std::exception& e) {
        FuzzFail(std::string("encoding failed: ") + e.what());
    }
    FUZZ_CHECK(encoded.size() >= 4 && encoded.compare(0, 2, "HE") == 0 && encoded[3] == '\r',
               "encoded stream lacks its identification");
    FUZZ_CHECK(encoded.size() <= bytes.size() + 4 + 11 + 2 * 256 + 256 * 32,
               "encoded stream is larger than any header and code block can explain");
    if (!bytes.empty()) {
        try {
            FUZZ_CHECK(codec.DecodeString(encoded) == bytes,
                       "encode then decode changed the bytes");
        } catch (const std::exception& e) {
            FuzzFail(std::string("decoding an encoded stream failed: ") + e.what());
        }
    }
    FUZZ_CHECK(codec.EncodeString(bytes) == encoded, "encoding the same bytes twice differs");
    return 0;
}
