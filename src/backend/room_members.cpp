#include "backend/room_members.h"

#include "backend/json_text.h"
#include "link/link_keys.h"
#include "state/config.h"

std::string VersionMembers()
{
    if (!SendLinkKeys())
        return std::string();
    return ",\"kestrel_version\":\"" + JsonEscape(KestrelVersion()) + "\",\"game_version\":\"" +
           JsonEscape(GameVersion()) + "\"";
}

std::string LinkKeyMember()
{
    const std::string key = OwnLinkKey();
    return key.empty() ? std::string() : ",\"link_key\":\"" + key + "\"";
}

void KeepPartnerMembers(RoomState& room, const std::string& reply)
{
    room.partner_kestrel_version = JsonGetString(reply, "peer_kestrel_version");
    room.partner_game_version = JsonGetString(reply, "peer_game_version");
    NotePartnerLinkKey(reply);
}

static std::string MajorOf(const std::string& version)
{
    return version.substr(0, version.find('.'));
}

std::vector<std::string> VersionWarnings(const std::string& own_kestrel, const std::string& own_game,
                                         const std::string& partner_kestrel, const std::string& partner_game)
{
    std::vector<std::string> out;
    if (!own_game.empty() && !partner_game.empty() && own_game != partner_game)
        out.push_back("Your partner runs game version " + partner_game + ", you run " + own_game +
                      ": co-op may not work.");
    if (!own_kestrel.empty() && !partner_kestrel.empty() && MajorOf(own_kestrel) != MajorOf(partner_kestrel))
        out.push_back("Your partner runs Kestrel " + partner_kestrel + ", you run " + own_kestrel +
                      ": co-op may not work.");
    return out;
}
