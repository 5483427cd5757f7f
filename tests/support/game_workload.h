// A game-like set of the six channel files, for the link benchmarks: what a
// player's scripts write 30 times a second. Frame f of each channel:
//   Packet    the player: position, velocity, rotation, health, stamina,
//             action and a frame counter (~0.4 KB, every frame)
//   Anim      eight animation layers: clip id, time, weight, speed (~0.6 KB, every frame)
//   enemy_unified  twelve enemies: id, type, position, rotation, health,
//             state, target (~2 KB, every frame)
//   Flags     forty story and world flags, one of which flips every
//             ~3 s (~0.8 KB, rewritten every 90 frames)
//   Joints    a skeleton of 80 bones, a rotation quaternion each (4 floats,
//             4 decimals) (~3.7 KB, every frame)
//   Companion the companion: position, rotation, health, mode, command
//             (~0.3 KB, every frame)
// Motion is smooth (sines of the frame number), so most leading digits stay
// and the last ones move, as with a character walking and animating. About
// 7.5 KB a frame, 230 KB/s at 30 Hz.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

// The content of channel `channel` (channel-table order) at frame `f`;
// "" when this frame does not rewrite it.
inline std::string GameChannelFrame(size_t channel, int f)
{
    std::string s;
    char b[160];
    const double t = f / 30.0;
    const auto num = [&](const char* key, double v, bool comma = true) {
        snprintf(b, sizeof(b), "\"%s\":%.4f%s", key, v, comma ? "," : "");
        s += b;
    };
    switch (channel) {
    case 0:
        s = "{\"frame\":" + std::to_string(f) + ",\"player\":{";
        num("x", 120.5 + 3 * sin(t * 0.7));
        num("y", 4.25 + 0.2 * sin(t * 3.1));
        num("z", -88.0 + 2 * cos(t * 0.7));
        num("vx", 2.1 * cos(t * 0.7));
        num("vy", 0.62 * cos(t * 3.1));
        num("vz", -1.4 * sin(t * 0.7));
        num("yaw", fmod(t * 20, 360));
        num("pitch", 3 * sin(t));
        s += "\"hp\":" + std::to_string(1200 - (f / 45) % 300) + ",\"stamina\":" + std::to_string(1000 - f % 400) +
             ",\"action\":\"" + ((f / 60) % 3 == 0 ? "run" : (f / 60) % 3 == 1 ? "walk" : "attack") +
             "\",\"weapon\":\"broadsword\",\"lockon\":false}}";
        return s;
    case 1:
        s = "{\"layers\":[";
        for (int l = 0; l < 8; l++) {
            snprintf(b, sizeof(b), "%s{\"clip\":%d,\"time\":%.4f,\"weight\":%.4f,\"speed\":%.3f,\"loop\":true}",
                     l ? "," : "", 1000 + l * 17 + (f / 90) % 4, fmod(t * (1 + l * 0.1), 2.5),
                     0.5 + 0.5 * sin(t * 0.3 + l), 1.0 + 0.05 * l);
            s += b;
        }
        return s + "]}";
    case 2:
        s = "{\"enemies\":[";
        for (int e = 0; e < 12; e++) {
            snprintf(b, sizeof(b), "%s{\"id\":%d,\"type\":\"em%03d\",\"x\":%.4f,\"y\":%.4f,\"z\":%.4f,\"yaw\":%.3f,",
                     e ? "," : "", 5000 + e, 10 + e % 4, 100 + e * 3 + sin(t * 0.5 + e), 4.0 + 0.1 * sin(t + e),
                     -80 - e * 2 + cos(t * 0.5 + e), fmod(t * 15 + e * 30, 360));
            s += b;
            snprintf(b, sizeof(b), "\"hp\":%d,\"state\":\"%s\",\"target\":%d}", 800 - ((f + e * 7) / 30) % 200,
                     (f / 45 + e) % 3 ? "chase" : "attack", e % 2 ? 1 : 2);
            s += b;
        }
        return s + "]}";
    case 3:
        if (f % 90 != 0)
            return "";
        s = "{\"chapter\":4,\"flags\":{";
        for (int k = 0; k < 40; k++) {
            snprintf(b, sizeof(b), "%s\"story_flag_%02d\":%s", k ? "," : "", k, ((f / 90) >> (k % 6)) & 1 ? "true" : "false");
            s += b;
        }
        return s + "}}";
    case 4:
        s = "{\"bones\":[";
        for (int j = 0; j < 80; j++) {
            const double a = t * (0.8 + (j % 7) * 0.1) + j;
            snprintf(b, sizeof(b), "%s[%.4f,%.4f,%.4f,%.4f]", j ? "," : "", 0.1 * sin(a), 0.2 * cos(a * 0.7),
                     0.05 * sin(a * 1.3), 0.97 + 0.02 * cos(a));
            s += b;
        }
        return s + "]}";
    default:
        s = "{\"companion\":{";
        num("x", 118.0 + 3 * sin(t * 0.7 - 0.4));
        num("y", 4.25);
        num("z", -86.5 + 2 * cos(t * 0.7 - 0.4));
        num("yaw", fmod(t * 20 - 8, 360));
        s += "\"hp\":" + std::to_string(900 - (f / 60) % 100) + ",\"mode\":\"follow\",\"command\":\"none\"}}";
        return s;
    }
}
