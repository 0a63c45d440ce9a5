// A well-formed downloader whose README.TXT record holds arbitrary bytes.

#include <exception>
#include <string>
#include <vector>

#include "FuzzTargets.h"
#include "ZelEncode.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace {

bool Printable(const std::string& text) {
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 || code > 126) return false;
    }
    return true;
}

std::string Entry(const std::string& name, const std::string& data) {
    return "-=+(" + name + ":" + data + ")+=-";
}

}  // namespace

int FuzzReadMe(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t shape = in.Byte();
    static const char* const kRecordNames[] = {"README.TXT", "readme.txt", "ReadMe.Txt",
                                               "README.TXT.BAK"};
    static const char* const kBinaryNames[] = {"CC1234.BIN", "cc1234.bin", "MY.BIN.TXT",
                                               "NOBINARY.DAT"};
    const std::string recordName = kRecordNames[shape & 3];
    const std::string binaryName = kBinaryNames[(shape >> 2) & 3];
    const bool hasRecord = (shape & 3) != 3;
    const bool hasBinary = (shape >> 2 & 3) != 3;
    const bool recordFirst = (shape & 0x10) != 0;

    // A small firmware-like image: the header with its data length, then the data.
    std::string image("\0\0\0\0\0\0\0\x10", 8);
    for (int i = 0; i < 16; ++i) image += static_cast<char>(0x20 + i * 7);
    const std::string record = in.Rest();

    std::string inner = recordFirst ? Entry(recordName, record) + Entry(binaryName, image)
                                    : Entry(binaryName, image) + Entry(recordName, record);
    const std::string path = FuzzScratchFolder("readme") + "/downloader";
    const std::string file = std::string(
                                 "\x7f"
                                 "ELF fake image") +
                             "\r\n" + ZelPayload::Marker() + "\r\n" +
                             ZelEncode().EncodeString(inner) + "\r\n";
    FUZZ_CHECK(FuzzWriteFile(path, file), "cannot write " + path);

    clsResFiles resFiles(path);
    bool ok = false;
    try {
        ok = resFiles.GetReadMeData();
    } catch (const std::exception& e) {
        FuzzFail(std::string("GetReadMeData let an exception out: ") + e.what());
    }
    // Whatever the record holds, the fields the window shows are printable and comma-free,
    // and the language is one of the three blocks the string table has.
    FUZZ_CHECK(Printable(resFiles.Name()) && resFiles.Name().find(',') == std::string::npos,
               "Name holds a character the record reader should have dropped");
    FUZZ_CHECK(
        Printable(resFiles.Description()) && resFiles.Description().find(',') == std::string::npos,
        "Description holds a character the record reader should have dropped");
    const std::int16_t language = resFiles.Language();
    FUZZ_CHECK(language == 0 || language == 100 || language == 200,
               "language offset outside the string table");
    if (ok && hasRecord && record.find(")+=-") == std::string::npos) {
        // Accepting a record takes all four of its fields.
        std::size_t commas = 0;
        for (const char c : clsResFiles::KeepPrintable(record)) commas += c == ',' ? 1 : 0;
        FUZZ_CHECK(commas >= 3, "a record with fewer than four fields was accepted");
    }

    // The binary file travels untouched beside any record that does not break the archive
    // open (a record holding the entry closer ends early and can inject entries of its own).
    std::vector<std::uint8_t> bytes;
    const bool gotBinary = resFiles.GetBinaryData(bytes);
    if (hasBinary && record.find(")+=-") == std::string::npos) {
        FUZZ_CHECK(gotBinary, "GetBinaryData missed the binary file");
        FUZZ_CHECK(std::string(bytes.begin(), bytes.end()) == image, "binary file bytes changed");
    }
    return 0;
}
