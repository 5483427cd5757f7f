// Gamertags in the player's own script: letters and digits of any script,
// "_" and "-", normalised to NFC, one script per name (Japanese and Korean
// mixes with Han count as one), unique under case folding, and not
// confusable with a name already taken (ICU's spoof checker).
#pragma once

#include <string>

struct GamertagForm
{
    std::string nfc;      // the name as stored and shown
    std::string key;      // NFKC case fold: equal keys are the same name
    std::string skeleton; // ICU's confusable skeleton of the key
    // ...and of the name as typed: capitals have look-alikes of their own
    // ("I" and "l", "O" and "0") that the folded key hides.
    std::string typed_skeleton;
};

// Forms of a name typed by a player. False with a player-facing `error` when
// it is not an acceptable gamertag.
bool CheckGamertag(const std::string& typed, GamertagForm& out, std::string& error);

// The key and skeleton of any text (a stored name, a name looked up), without
// the rules; invalid UTF-8 gives empty forms.
GamertagForm GamertagForms(const std::string& text);

// A name a player enters rooms under (their gamertag, or a guest name): 1 to
// 24 letters or digits of any script, spaces, dots, dashes or underscores, in
// valid UTF-8. Nothing in it can end a quoted text in a reply.
bool PlayerNameAcceptable(const std::string& name);

// The case-folded key of a name (its GamertagForm key; the text itself when
// that is empty): gamertags are unique under it.
std::string FoldTag(const std::string& tag);
