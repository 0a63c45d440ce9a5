#include <gtest/gtest.h>

#include <string>

#include "StringTable.h"

namespace {

// Typed independently of the table itself, so a slip in either copy shows up here.
const struct {
    int id;
    const char* text;
} kSamples[] = {
    {145, "Download binary data command failed"},  // no full stop
    {161, "Error: Failed to connect to the Field Programmer, please check it is correctly "
          "connected."},
    {164, "Error: ACK was not received from the Field Programmer."},
    {168, "There are no free Comm Ports, exiting application."},
    {261, "Erreur:  Commencez le caract\u00e8re non re\u00e7u, contr\u00f4lez s'il vous "
          "pla\u00eet le programmeur de zone de connexion est correct."},
    {264, "Erreur:  Le ACK n'a pas \u00e9t\u00e9 re\u00e7u du programmeur de zone.  "},
    {268, "Il n'y a aucun port libre de COMM., quittant l'application."},
    {270, "A \u00e9chou\u00e9 \u00e0 la m\u00e9moire instantan\u00e9e claire."},
    {361, "Fehler:  Beginnen Sie das Zeichen, das nicht empfangen wird, \u00fcberpr\u00fcfen Sie "
          "bitte Anschlu\u00dffeldprogrammierer ist korrekt."},
    {367, "R\u00fccksetzen"},
    {371, "About"},
};

TEST(StringTable, HoldsTheTextsExactly) {
    for (const auto& e : kSamples) {
        EXPECT_EQ(LoadResString(e.id), e.text) << "id " << e.id;
    }
}

TEST(StringTable, HoldsExactlyTheErrorTextsAndTheThreeBlocks) {
    for (int id = -1; id < 500; ++id) {
        const bool held = (id >= 101 && id <= 147) || (id % 100 >= 52 && id % 100 <= 71 &&
                                                       id >= 152 && id <= 371);
        EXPECT_EQ(LoadResString(id).empty(), !held) << id;
    }
}

}  // namespace
