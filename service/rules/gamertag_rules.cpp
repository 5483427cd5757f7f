#include "rules/gamertag_rules.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>
#include <unicode/uscript.h>

#include <memory>

namespace {

const int kMinChars = 3;
const int kMaxChars = 20;

const char* const kBadChars = "Gamertags are 3-20 letters or digits, \"_\" or \"-\".";
const char* const kMixed = "A gamertag keeps to one script: letters that look alike from two scripts are not allowed.";
const char* const kBroken = "That gamertag is not valid text.";
const char* const kFault = "The server could not check that gamertag. Try again.";

struct SpoofDeleter
{
    void operator()(USpoofChecker* sc) const { uspoof_close(sc); }
};

// One checker for the process: after set-up ICU's checks are safe to share.
USpoofChecker* Checker()
{
    static std::unique_ptr<USpoofChecker, SpoofDeleter> checker = [] {
        UErrorCode status = U_ZERO_ERROR;
        USpoofChecker* sc = uspoof_open(&status);
        if (U_SUCCESS(status)) {
            uspoof_setChecks(sc, USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS | USPOOF_INVISIBLE, &status);
            uspoof_setRestrictionLevel(sc, USPOOF_HIGHLY_RESTRICTIVE);
        }
        if (U_FAILURE(status)) {
            uspoof_close(sc);
            sc = nullptr;
        }
        return std::unique_ptr<USpoofChecker, SpoofDeleter>(sc);
    }();
    return checker.get();
}

bool Decode(const std::string& text, icu::UnicodeString& out)
{
    out = icu::UnicodeString::fromUTF8(text);
    // fromUTF8 turns broken sequences into U+FFFD: refuse those instead.
    std::string back;
    out.toUTF8String(back);
    return back == text;
}

std::string Skeleton(const icu::UnicodeString& text)
{
    std::string out;
    USpoofChecker* sc = Checker();
    if (!sc)
        return out;
    UErrorCode status = U_ZERO_ERROR;
    UChar buf[256];
    const int32_t len = uspoof_getSkeleton(sc, 0, text.getBuffer(), text.length(), buf, 256, &status);
    if (U_SUCCESS(status))
        icu::UnicodeString(buf, len).toUTF8String(out);
    return out;
}

} // namespace

GamertagForm GamertagForms(const std::string& text)
{
    GamertagForm f;
    icu::UnicodeString u;
    UErrorCode status = U_ZERO_ERROR;
    if (!Decode(text, u))
        return f;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    const icu::Normalizer2* fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status))
        return f;
    const icu::UnicodeString n = nfc->normalize(u, status);
    const icu::UnicodeString k = fold->normalize(n, status);
    if (U_FAILURE(status))
        return f;
    n.toUTF8String(f.nfc);
    k.toUTF8String(f.key);
    f.skeleton = Skeleton(k);
    f.typed_skeleton = Skeleton(n);
    return f;
}

bool CheckGamertag(const std::string& typed, GamertagForm& out, std::string& error)
{
    icu::UnicodeString u;
    if (!Decode(typed, u)) {
        error = kBroken;
        return false;
    }
    out = GamertagForms(typed);
    if (!Checker() || out.key.empty() || out.skeleton.empty() || out.typed_skeleton.empty()) {
        error = typed.empty() ? kBadChars : kFault;
        return false;
    }
    const icu::UnicodeString n = icu::UnicodeString::fromUTF8(out.nfc);
    const int32_t chars = n.countChar32();
    if (chars < kMinChars || chars > kMaxChars) {
        error = kBadChars;
        return false;
    }
    for (int32_t i = 0; i < n.length(); i = n.moveIndex32(i, 1)) {
        const UChar32 c = n.char32At(i);
        const bool letter = (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
        const bool digit = u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        // A mark needs a letter to sit on.
        if ((U_GET_GC_MASK(c) & U_GC_M_MASK) && i == 0) {
            error = kBadChars;
            return false;
        }
        if (!letter && !digit && c != '_' && c != '-') {
            error = kBadChars;
            return false;
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const int32_t failed = uspoof_check2UnicodeString(Checker(), n, nullptr, &status);
    if (U_FAILURE(status)) {
        error = kFault;
        return false;
    }
    if (failed != 0) {
        error = kMixed;
        return false;
    }
    return true;
}

bool PlayerNameAcceptable(const std::string& name)
{
    icu::UnicodeString u;
    if (name.empty() || name.size() > 96 || !Decode(name, u) || u.countChar32() > 24)
        return false;
    for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
        const UChar32 c = u.char32At(i);
        const bool letter = (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
        if (!letter && u_charType(c) != U_DECIMAL_DIGIT_NUMBER && c != '_' && c != '-' && c != '.' && c != ' ')
            return false;
    }
    return true;
}

std::string FoldTag(const std::string& tag)
{
    // The store's own sameness of names, so "Ärger" in a room is the friend "ärger".
    const std::string key = GamertagForms(tag).key;
    return key.empty() ? tag : key;
}
