#include "OwnTexts.h"

#include <iterator>
#include <vector>

namespace owntext {
namespace {

struct Row {
    Id id;
    const char* english;
    const char* french;
    const char* german;
};

// One row per text, in the order of Id. French puts a no-break space before ":", ";" and "?",
// as French typesetting does.
constexpr Row kRows[] = {
    {kPortBusy, "%1 is busy: held by %2", "%1 est occupé\u00a0: utilisé par %2",
     "%1 ist belegt: verwendet von %2"},
    {kAnotherProgram, "another program", "un autre programme", "einem anderen Programm"},
    {kNoSuchDevice, "%1: no such device", "%1\u00a0: périphérique introuvable",
     "%1: Gerät nicht vorhanden"},
    {kComMapsToNothing, "COM %1 maps to no serial device here",
     "COM %1 ne correspond ici à aucun périphérique série",
     "COM %1 entspricht hier keinem seriellen Gerät"},
    {kNotSerial, "%1 is not a serial device", "%1 n'est pas un périphérique série",
     "%1 ist kein serielles Gerät"},
    {kPermissionDenied, "%1: permission denied", "%1\u00a0: accès refusé",
     "%1: Zugriff verweigert"},
    {kJoinGroup,
     "to use serial ports, join the group \"%1\" (sudo adduser $USER %1) and log in again",
     "pour utiliser les ports série, rejoignez le groupe «\u00a0%1\u00a0» (sudo adduser $USER %1) "
     "puis reconnectez-vous",
     "um serielle Schnittstellen zu verwenden, treten Sie der Gruppe „%1“ bei (sudo adduser "
     "$USER %1) und melden Sie sich neu an"},
    {kAskAdministrator, "ask the administrator for read and write access to it",
     "demandez à l'administrateur l'accès en lecture et en écriture",
     "bitten Sie den Administrator um Lese- und Schreibzugriff"},
    {kCannotBeOpened, "%1 cannot be opened", "%1 ne peut pas être ouvert",
     "%1 kann nicht geöffnet werden"},
    {kNotAnswering, "%1 is not answering", "%1 ne répond pas", "%1 antwortet nicht"},
    {kThePort, "the port", "le port", "die Schnittstelle"},
    {kSerialPortFallback, "Serial port", "Port série", "Serielle Schnittstelle"},
    {kNoDevice, "no device", "aucun périphérique", "kein Gerät"},
    {kOtherPorts, "Other ports:", "Autres ports\u00a0:", "Weitere Schnittstellen:"},
    {kBinTooShort, "too short for a flash image (%1 bytes, the header alone takes 8)",
     "trop court pour une image flash (%1 octets, l'en-tête seul en occupe 8)",
     "zu kurz für ein Flash-Abbild (%1 Bytes, allein der Dateikopf belegt 8)"},
    {kBinNoData, "the header counts no data bytes", "l'en-tête ne compte aucun octet de données",
     "der Dateikopf zählt keine Datenbytes"},
    {kBinTruncated, "the header counts %1 data bytes but only %2 follow it (truncated file?)",
     "l'en-tête compte %1 octets de données mais seuls %2 le suivent (fichier tronqué\u00a0?)",
     "der Dateikopf zählt %1 Datenbytes, aber nur %2 folgen ihm (Datei abgeschnitten?)"},
    {kBinHeaderNotZero, "the first six header bytes are not zero",
     "les six premiers octets de l'en-tête ne sont pas nuls",
     "die ersten sechs Bytes des Dateikopfs sind nicht null"},
    {kBinExtraBytes, "%1 byte(s) follow the counted data; the device ignores them",
     "%1 octet(s) suivent les données comptées\u00a0; l'appareil les ignore",
     "%1 Byte(s) folgen auf die gezählten Daten; das Gerät ignoriert sie"},
    {kDamagedDownloader,
     "Error: This downloader is damaged (%1) and cannot program any device. Replace it with a "
     "new copy.",
     "Erreur\u00a0: ce programme de téléchargement est endommagé (%1) et ne peut programmer "
     "aucun appareil. Remplacez-le par une nouvelle copie.",
     "Fehler: Dieses Ladeprogramm ist beschädigt (%1) und kann kein Gerät programmieren. "
     "Ersetzen Sie es durch eine neue Kopie."},
};

constexpr bool InIdOrder() {
    for (std::size_t k = 0; k < std::size(kRows); ++k) {
        if (kRows[k].id != static_cast<Id>(k)) return false;
    }
    return std::size(kRows) == kCount;
}
static_assert(InIdOrder(), "one row per text, in the order of Id");

}  // namespace

std::string Text(Id id, int language) {
    if (id < 0 || id >= kCount) return {};
    const Row& row = kRows[id];
    switch (language) {
        case 100:
            return row.french;
        case 200:
            return row.german;
        default:
            return row.english;
    }
}

// One pass from left to right, so that an argument holding "%2" is never replaced again.
std::string Format(Id id, int language, std::initializer_list<std::string> args) {
    const std::string pattern = Text(id, language);
    const std::vector<std::string> values(args);
    std::string out;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        const char next = k + 1 < pattern.size() ? pattern[k + 1] : '\0';
        const auto n = static_cast<std::size_t>(next - '1');
        if (pattern[k] == '%' && next >= '1' && next <= '9' && n < values.size()) {
            out += values[n];
            ++k;
        } else {
            out += pattern[k];
        }
    }
    return out;
}

}  // namespace owntext
