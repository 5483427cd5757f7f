// Paths of the data files shared with the game's scripts (same on every OS).
#include "platform/platform.h"

std::string DataPath(const std::string& name)
{
    return DataFolder() + "/" + name;
}

std::string DataFolder()
{
    return "reframework/data";
}
