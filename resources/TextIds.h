#pragma once

// Texts of the downloader by their English id; the id loaded is the English id plus the
// language offset, so one name serves all three languages.
namespace textid {

constexpr int kQuit = 158;
constexpr int kPressButton = 159;     // "Press the button on the top of the Field Programmer…"
constexpr int kNoConnection = 161;    // no device answered the button wait
constexpr int kDownloadFailed = 162;  // the transfer failed
constexpr int kNoBinary = 163;        // no binary data to download
constexpr int kNoAck = 164;           // an acknowledgement did not come
constexpr int kOK = 166;              // the port dialog's button
constexpr int kReset = 167;
constexpr int kNoFreePort = 168;
constexpr int kSelectPort = 169;  // the port dialog's title
constexpr int kClearFailed = 170;
constexpr int kAbout = 171;

// Language offsets: the payload record's language number times 100.
constexpr int kEnglish = 0;
constexpr int kFrench = 100;
constexpr int kGerman = 200;

}  // namespace textid
