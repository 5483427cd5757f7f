#include "link/partner_files.h"

#include "link/channel_files.h"
#include "platform/platform.h"

static std::string RecordText(const std::string& room_code, char letter)
{
    // Room codes are letters and digits: nothing to escape.
    return "{\"room\":\"" + room_code + "\",\"letter\":\"" + std::string(1, letter) + "\"}";
}

int PreparePartnerFiles(uint32_t role, const std::string& room_code)
{
    const std::string record = DataPath(kLinkRoomFileName);
    const std::string wanted = RecordText(room_code, OwnLetter(role));
    std::string last;
    if (ReadWholeFile(record, last, 256) && last == wanted)
        return 0;
    int kept = 0;
    for (const std::string& name : ChannelFileNames(role == 1 ? 2 : 1))
        kept += RemoveFile(DataPath(name)) ? 0 : 1;
    WriteFileAtomically(record, wanted);
    return kept;
}
