#include "StringTable.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace {

struct Entry {
    int id;
    const char* text;
};

// Kept sorted by id so that a lookup is a binary search. Texts are UTF-8 and stored exactly
// as they are shown, blanks included: some translations carry two blanks after the colon
// and French 264 ends in two blanks.
constexpr Entry kTable[] = {
    // Error texts of the device command set; English in every language setting.
    {101, "Failed to open com port."},
    {102, "Failed to close com port."},
    {103, "Failed to connect to field programmer."},
    {104, "Version command not recognised."},
    {105, "Version command failed."},
    {106, "Status command not recognised."},
    {107, "Status command failed."},
    {108, "Flash bank address out of range."},
    {109, "Read flash bank command not recognised."},
    {110, "Read flash bank data not received."},
    {111, "Read flash bank command failed."},
    {112, "Read all flash bank command failed."},
    {113, "Read individual address out of range."},
    {114, "Read individual address command not recognised."},
    {115, "Read individual address command failed."},
    {116, "Write individual address out of range."},
    {117, "Write individual address command not recognised."},
    {118, "Write individual address data not received."},
    {119, "Write individual address data failed to write."},
    {120, "Write individual address write failed."},
    {121, "Write individual address command failed."},
    {122, "Read block address out of range."},
    {123, "Read block address command not recognised."},
    {124, "Read block address secondary command not recognised."},
    {125, "Read block address exit command not recognised."},
    {126, "Read block address command failed."},
    {127, "Read receive buffer command not recognised."},
    {128, "Read receive buffer data not received."},
    {129, "Read receive buffer command failed."},
    {130, "Clear flash memory command not recognised."},
    {131, "Clear flash memory command failed."},
    {132, "Rewrite flash memory command not recognised."},
    {133, "Rewrite flash memory command failed."},
    {134, "Execute interpreter command not recognised."},
    {135, "Power down command not recognised."},
    {136, "Flash LEDs command not recognised."},
    {137, "Read primary flash buffer command not recognised."},
    {138, "Read primary flash buffer data not received."},
    {139, "Read primary flash buffer command failed."},
    {140, "Read secondary flash buffer command not recognised."},
    {141, "Read secondary flash buffer data not received."},
    {142, "Read secondary flash buffer command failed."},
    {143, "Download binary data acknowledge not received."},
    {144, "Download binary data command not recognised."},
    {145, "Download binary data command failed"},
    {146, "File does not exist."},
    {147, "File path does not exist."},

    // English block; the French (+100) and German (+200) blocks share its layout.
    {152, "-- Binary File Name -- English --"},
    {153, "CC46-EURO-V1204-EN.BIN"},
    {154, "-- Binary  File Description -- English --"},
    {155, "Loads the euro coin set into the changer and sets the fill levels of its coin tubes."},
    {156, "-- Display Text -- English --"},
    {157, "Description"},
    {158, "Quit"},
    {159, "Press the button on the top of the Field Programmer to download."},
    {160, "-- Error Messages -- English --"},
    {161,
     "Error: Failed to connect to the Field Programmer, please check it is correctly connected."},
    {162, "Error: Download Failed."},
    {163, "Error: Failed to extract binary information."},
    {164, "Error: ACK was not received from the Field Programmer."},
    {165, "-- Standard Text -- English --"},
    {166, "OK"},
    {167, "Reset"},
    {168, "There are no free Comm Ports, exiting application."},
    {169, "Please select a Comm Port."},
    {170, "Failed to clear flash memory."},
    {171, "About"},

    // French block.
    {252, "-- Binary File Name -- French --"},
    {253, "CC46-EURO-V1204-FR.BIN"},
    {254, "-- Binary  File Description -- French --"},
    {255,
     "Charge le jeu de pièces en euros dans le monnayeur et règle le niveau de remplissage de ses "
     "tubes."},
    {256, "-- Display Text -- French --"},
    {257, "Description"},
    {258, "Quitté"},
    {259, "Appuyez sur le bouton sur le dessus du programmeur de zone au téléchargement."},
    {260, "-- Error Messages -- French --"},
    {261,
     "Erreur:  Commencez le caractère non reçu, contrôlez s'il vous plaît le programmeur de zone "
     "de connexion est correct."},
    {262,
     "Erreur:  Téléchargez la réponse non reçue, contrôlez s'il vous plaît le programmeur de zone "
     "de connexion est correct."},
    {263, "Erreur:  N'a pas créé le fichier binaire provisoire."},
    {264, "Erreur:  Le ACK n'a pas été reçu du programmeur de zone.  "},
    {265, "-- Standard Text -- French --"},
    {266, "OK"},
    {267, "Remise"},
    {268, "Il n'y a aucun port libre de COMM., quittant l'application."},
    {269, "Veuillez choisir un port de COMM."},
    {270, "A échoué à la mémoire instantanée claire."},
    {271, "About"},

    // German block.
    {352, "-- Binary File Name -- German --"},
    {353, "CC46-EURO-V1204-DE.BIN"},
    {354, "-- Binary  File Description -- German --"},
    {355,
     "Lädt den Euro-Münzsatz in den Münzwechsler und stellt die Füllstände seiner Münzröhren ein."},
    {356, "-- Display Text -- German --"},
    {357, "Beschreibung"},
    {358, "Beendet"},
    {359, "Betätigen Sie die Taste auf die Oberseite des Feldprogrammierers zum Download."},
    {360, "-- Error Messages -- German --"},
    {361,
     "Fehler:  Beginnen Sie das Zeichen, das nicht empfangen wird, überprüfen Sie bitte "
     "Anschlußfeldprogrammierer ist korrekt."},
    {362,
     "Fehler:  Hochladen Sie die Antwort, die nicht empfangen wird, überprüfen Sie bitte "
     "Anschlußfeldprogrammierer ist korrekt."},
    {363, "Fehler:  Konnte temporäre binäre Datei herstellen nicht."},
    {364, "Fehler:  Ack wurde nicht vom Feldprogrammierer empfangen."},
    {365, "-- Standard Text -- German --"},
    {366, "OK"},
    {367, "Rücksetzen"},
    {368, "Es gibt keine freien Kommunikationkanäle und beendet Anwendung."},
    {369, "Wählen Sie bitte einen Kommunikationkanal aus."},
    {370, "Fiel zum freien grellen Speicher aus."},
    {371, "About"},
};

constexpr bool IsSorted() {
    for (std::size_t k = 1; k < std::size(kTable); ++k) {
        if (kTable[k - 1].id >= kTable[k].id) return false;
    }
    return true;
}
static_assert(IsSorted(), "the string table must be sorted by id without duplicates");

}  // namespace

std::string LoadResString(int id) {
    const auto* end = std::end(kTable);
    const auto* it = std::lower_bound(std::begin(kTable), end, id,
                                      [](const Entry& e, int key) { return e.id < key; });
    if (it == end || it->id != id) return {};
    return it->text;
}
