// A fresh working directory with "reframework/data" inside, entered for the
// life of the object, as the game's working directory would be.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

struct GameDirectory
{
    std::filesystem::path root;
    std::filesystem::path previous;

    GameDirectory()
    {
        std::random_device rd;
        previous = std::filesystem::current_path();
        root = std::filesystem::temp_directory_path() / ("kestrel-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(root / "reframework" / "data");
        std::filesystem::current_path(root);
    }
    ~GameDirectory()
    {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        std::filesystem::remove_all(root, ec);
    }
    static std::filesystem::path Data(const std::string& name) { return std::filesystem::path("reframework/data") / name; }
    static void Write(const std::string& name, const std::string& content)
    {
        std::ofstream(Data(name), std::ios::binary) << content;
    }
    static bool Exists(const std::string& name) { return std::filesystem::exists(Data(name)); }
    static std::string Read(const std::string& name)
    {
        std::ifstream in(Data(name), std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};
