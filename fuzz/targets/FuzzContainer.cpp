// A downloader file with arbitrary bytes behind its marker, and archives of arbitrary files
// built and read back.

#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzTargets.h"
#include "ZelEncode.h"
#include "ZelPayload.h"

namespace {

// Whatever the reader accepted must be walkable: every slot up to the spare one exists and
// nothing past it does, and no parsed name can hold the colon that ends names.
void CheckFileList(const ZelPayload& payload, std::size_t innerLimit) {
    const std::int32_t count = payload.FileCount();
    FUZZ_CHECK(count >= 0, "negative FileCount");
    std::size_t total = 0;
    for (std::int32_t i = 1; i <= count; ++i) {
        const auto file = payload.File(i);
        FUZZ_CHECK(file != nullptr, "a parsed slot holds no file");
        FUZZ_CHECK(file->FileName().find(':') == std::string::npos, "a file name holds a colon");
        total += file->FileName().size() + file->FileData().size() + 9;  // opener, colon, closer
    }
    FUZZ_CHECK(total <= innerLimit, "the file list holds more than the archive text");
    (void)payload.File(count + 1);
    bool threw = false;
    try {
        (void)payload.File(count + 2);
    } catch (const std::out_of_range&) {
        threw = true;
    }
    FUZZ_CHECK(threw, "File past the spare slot did not raise an index error");
    std::string ignored;
    payload.GetFileByType("BIN", ignored);
    payload.GetFileByName("README.TXT", ignored);
}

std::string DownloaderImage(const std::string& image, const std::string& block) {
    return image + "\r\n" + ZelPayload::Marker() + "\r\n" + block + "\r\n";
}

// A name the file system keeps as given: no folder separators, no colon, not hidden.
std::string SafeName(const std::string& raw, std::size_t index) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-";
    std::string name = "f" + std::to_string(index);
    for (const char c : raw)
        name += kAlphabet[static_cast<unsigned char>(c) % (sizeof kAlphabet - 1)];
    return name;
}

// The one byte sequence file data cannot hold; the entry would end there.
std::string WithoutCloser(std::string data) {
    for (auto at = data.find(")+=-"); at != std::string::npos; at = data.find(")+=-", at))
        data[at + 3] = '_';
    return data;
}

void RawBlock(FuzzInput& in, const std::string& folder, bool encode) {
    const std::string image = in.Bytes(in.Byte());
    std::string block = in.Rest();
    if (encode) block = ZelEncode().EncodeString(block);
    const std::string path = folder + "/downloader";
    const std::string file = DownloaderImage(image, block);
    FUZZ_CHECK(FuzzWriteFile(path, file), "cannot write " + path);
    ZelPayload payload;
    try {
        payload.GetPayload(path);
    } catch (const std::exception& e) {
        FuzzFail(std::string("GetPayload let an exception out: ") + e.what());
    }
    CheckFileList(payload, file.size() * 8);
}

// Files built into a downloader come back with the same names and bytes, in the same order.
void BuildAndRead(FuzzInput& in, const std::string& folder) {
    const std::size_t count = 1 + in.Byte() % 4;
    const std::string exePath = folder + "/program";
    FUZZ_CHECK(FuzzWriteFile(exePath, in.Bytes(in.Byte())), "cannot write " + exePath);
    std::vector<std::string> names, data, paths;
    for (std::size_t i = 0; i < count; ++i) {
        names.push_back(SafeName(in.Bytes(in.Byte() % 12), i));
        data.push_back(WithoutCloser(in.Bytes(in.Word() % 2048)));
        paths.push_back(folder + "/" + names.back());
        FUZZ_CHECK(FuzzWriteFile(paths.back(), data.back()), "cannot write " + paths.back());
    }
    const std::string output = folder + "/built";
    std::remove(output.c_str());
    ZelPayload writer;
    FUZZ_CHECK(writer.BuildPayload(exePath, paths, output), "BuildPayload failed on plain files");

    ZelPayload reader;
    FUZZ_CHECK(reader.GetPayload(output), "a freshly built downloader did not read back");
    FUZZ_CHECK(reader.FileCount() == static_cast<std::int32_t>(count),
               "read back a different file count");
    for (std::size_t i = 0; i < count; ++i) {
        const auto file = reader.File(static_cast<std::int32_t>(i + 1));
        FUZZ_CHECK(file->FileName() == names[i], "file name changed: " + names[i]);
        FUZZ_CHECK(file->FileData() == data[i], "file data changed: " + names[i]);
    }
}

}  // namespace

int FuzzContainer(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::string folder = FuzzScratchFolder("container");
    switch (in.Byte() % 3) {
        case 0:
            RawBlock(in, folder, false);
            break;  // hostile compressed block
        case 1:
            RawBlock(in, folder, true);
            break;  // hostile archive text, validly compressed
        default:
            BuildAndRead(in, folder);
            break;
    }
    return 0;
}
