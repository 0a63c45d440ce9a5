#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ZelPayload;
class clsPayloadFile;

// The downloader's own metadata: the one-line README.TXT record and the binary file that
// travel in the payload appended to the executable. Reads nothing until asked.
class clsResFiles {
  public:
    // Reads the running executable (found through the operating system).
    clsResFiles();
    // Reads the given downloader file instead; tools and tests point it at another image.
    explicit clsResFiles(std::string strExecutablePath);
    ~clsResFiles();
    clsResFiles(const clsResFiles&) = delete;
    clsResFiles& operator=(const clsResFiles&) = delete;

    const std::string& Name() const { return name_; }
    void Name(const std::string& strData) { name_ = strData; }
    // The language offset: 0 English, 100 French, 200 German.
    std::int16_t Language() const { return language_; }
    void Language(std::int16_t intData) { language_ = intData; }
    const std::string& Description() const { return description_; }
    void Description(const std::string& strData) { description_ = strData; }

    // The file whose payload is read; empty means the running executable.
    const std::string& ExecutablePath() const { return exePath_; }
    void ExecutablePath(const std::string& strPath) { exePath_ = strPath; }

    // Loads the payload and fills Name, Language and Description from README.TXT.
    // True also when the payload holds no README.TXT (members unchanged). A malformed
    // record gives false; the members set before the fault keep their new values.
    bool GetReadMeData();
    // The bytes of the payload's first file with ".BIN" in its name; needs a preceding
    // GetReadMeData. False when there is no such file or it holds fewer than two bytes.
    bool GetBinaryData(std::vector<std::uint8_t>& bytData);

    // The name of the file GetBinaryData takes, as spelled in the payload; empty when there is
    // none. The payload as the last GetReadMeData read it, for tools that report on it.
    std::string BinaryFileName() const;
    const ZelPayload& Payload() const { return *payload_; }

    // Keeps the characters with codes 32 to 126; line ends and accented letters go.
    static std::string KeepPrintable(const std::string& strText);

  private:
    std::vector<std::uint8_t> ExtractBinaryData() const;
    std::shared_ptr<clsPayloadFile> FindBinaryFile() const;

    std::string name_;
    std::int16_t language_ = 0;
    std::string description_;
    std::string exePath_;
    std::unique_ptr<ZelPayload> payload_;
};
