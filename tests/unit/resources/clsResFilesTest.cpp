#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "OwnTexts.h"
#include "TestFiles.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace {

using Files = std::vector<PayloadEntry>;

// Builds real downloaders (a stand-in image plus a payload) in a private temporary folder.
class ResFilesTest : public ::testing::Test {
  protected:
    void SetUp() override { WriteBytes(exe, "\x7f ELF stand-in image\r\n"); }
    std::string Build(const Files& files) {
        const std::string out = dir / ("out" + std::to_string(++builds));
        EXPECT_TRUE(ZelPayload().BuildPayloadFrom(exe, files, out));
        return out;
    }

    TempDir dir;
    std::string exe = dir / "image";
    int builds = 0;
};

TEST_F(ResFilesTest, RecordRules) {
    // From Name and Description "old" and language 300; after "refused", what is left.
    const std::pair<const char*, const char*> rows[] = {
        {"FW123,000,Loads euros,BLANK", "FW123|Loads euros|0"},
        {"FW123,002,Lädt,BLANK", "FW123|Ldt|200"},  // accents are dropped
        {"FW123,2,\tDesc\x7f,BLANK\r\n", "FW123|Desc|200"},
        {"FW123, 1 ,Desc,BLANK,extra", "FW123|Desc|100"},
        {"FW123,000,Loads, then sets,BLANK", "FW123|Loads|0"},
        {"FW123,002,Desc", "refused FW123|Desc|300"},    // three fields
        {"FW123,5,Desc,BLANK", "refused FW123|Desc|0"},  // unknown language: English
        {"FW123,,Desc,BLANK", "refused FW123|old|300"},
        {"FW123,1x,Desc,BLANK", "refused FW123|old|300"},
        {"FW123,99999,Desc,BLANK", "refused FW123|old|300"},
        {"FW123", "refused FW123|old|300"},
        {"\r\n", "refused old|old|300"},
    };
    for (const auto& [record, expected] : rows) {
        clsResFiles res(Build({{"FW.BIN", "\x01\x02\x03"}, {"README.TXT", record}}));
        res.Name("old");
        res.Description("old");
        res.Language(300);
        const std::string said = res.GetReadMeData() ? "" : "refused ";
        EXPECT_EQ(
            said + res.Name() + "|" + res.Description() + "|" + std::to_string(res.Language()),
            expected)
            << record;
    }
}

TEST_F(ResFilesTest, FindsTheRecordAndTheBinaryFileOrSaysSo) {
    // The payload, the name after GetReadMeData (which always succeeds), the binary (empty: none).
    const std::tuple<const char*, Files, const char*, std::string> rows[] = {
        {"no README.TXT", {{"FW.BIN", "ab"}}, "keep", "ab"},
        {"lower-case name; the first file with BIN in its name",
         {{"notes.txt", "no"},
          {"MY.BIN.TXT", std::string("\0\xff\r\n", 4)},
          {"OTHER.BIN", "later"},
          {"readme.txt", "MY,000,D,B"}},
         "MY",
         std::string("\0\xff\r\n", 4)},
        {"no .BIN", {{"README.TXT", "A,0,B,C"}}, "A", ""},
        {"one byte", {{"ONE.BIN", "x"}, {"README.TXT", "A,0,B,C"}}, "A", ""},
    };
    for (const auto& [label, files, name, binary] : rows) {
        SCOPED_TRACE(label);
        clsResFiles res(Build(files));
        res.Name("keep");
        std::vector<std::uint8_t> data{1, 2, 3};
        EXPECT_FALSE(res.GetBinaryData(data)) << "nothing to hand out before the payload is read";
        ASSERT_TRUE(res.GetReadMeData());
        EXPECT_EQ(res.Name(), name);
        EXPECT_EQ(res.GetBinaryData(data), !binary.empty());
        const std::string got(data.begin(), data.end());
        EXPECT_TRUE(binary.empty() ? got.size() <= 1 : got == binary) << got.size();
    }
    // By default the running program (found through the system) is read; this one has no payload.
    EXPECT_FALSE(clsResFiles().GetReadMeData());
}

// Every own text has three languages with equal placeholders; an argument's "%2" stays as it is.
TEST(OwnTexts, EveryLanguageCarriesTheSamePlaceholders) {
    for (int id = 0; id < owntext::kCount; ++id) {
        const auto text = static_cast<owntext::Id>(id);
        const std::string english = owntext::Format(text, 0, {"<1>", "<2>"});
        for (int language : {100, 200}) {
            const std::string other = owntext::Format(text, language, {"<1>", "<2>"});
            EXPECT_FALSE(other.empty() || other == english) << id << " " << language;
            for (const char* mark : {"<1>", "<2>", "%"}) {
                EXPECT_EQ(other.find(mark) == std::string::npos,
                          english.find(mark) == std::string::npos)
                    << id << " " << language << " " << other;
            }
        }
    }
    EXPECT_EQ(owntext::Format(owntext::kPortBusy, 200, {"COM7", "%2"}),
              "COM7 ist belegt: verwendet von %2");
    EXPECT_EQ(owntext::Text(owntext::kNoDevice, 7), "no device");
}

}  // namespace
