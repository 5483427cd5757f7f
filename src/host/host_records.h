// The records REFramework hands a plugin, laid out as its plugin interface
// publishes them. The functions table is read by position: only the members
// the plugin calls are typed, the others are placeholders of pointer size.
#pragma once

#include <cstddef>
#include <cstdint>

struct HostVersion
{
    int32_t major;
    int32_t minor;
    // Further fields follow; the plugin never touches them.
};

using HostPresentCallback = void (*)();
using HostDeviceResetCallback = void (*)();
// Window message of the game window; false keeps it from the game.
using HostMessageCallback = bool (*)(void* hwnd, uint32_t msg, uint64_t wparam, int64_t lparam);

using HostRegisterPresent = bool (*)(HostPresentCallback);
using HostRegisterDeviceReset = bool (*)(HostDeviceResetCallback);
using HostRegisterMessage = bool (*)(HostMessageCallback);
using HostMenuShownFn = bool (*)();   // true while the host's own menu is on screen
using HostUnusedFn = void (*)();

struct HostFunctions
{
    HostUnusedFn unused_1;
    HostUnusedFn unused_2;
    HostRegisterPresent on_present;          // 3rd
    HostUnusedFn unused_4;
    HostUnusedFn unused_5;
    HostUnusedFn unused_6;
    HostUnusedFn unused_7;
    HostRegisterDeviceReset on_device_reset; // 8th
    HostRegisterMessage on_message;          // 9th
    HostUnusedFn unused_10;
    HostUnusedFn unused_11;
    HostUnusedFn unused_12;
    HostMenuShownFn menu_shown;           // 13th
    // Further members follow; the plugin never touches them.
};

enum HostRendererType : int32_t
{
    HostRendererD3D11 = 0,
    HostRendererD3D12 = 1,
};

struct HostRendererData
{
    int32_t renderer_type; // HostRendererType
    void* device;          // ID3D11Device* or ID3D12Device*
    void* swapchain;       // IDXGISwapChain*
    void* command_queue;   // ID3D12CommandQueue* (Direct3D 12 only)
};

struct HostInitParam
{
    void* host_module;                       // HMODULE of the host
    const HostVersion* version;
    const HostFunctions* functions;
    const HostRendererData* renderer_data;
    void* sdk;                               // the host's SDK data, kept but unused
};

// The version this plugin was written against.
constexpr int32_t kRequiredHostMajor = 1;
constexpr int32_t kRequiredHostMinor = 10;

// The table is read by position and the records by field order.
static_assert(sizeof(void*) == 8, "the plugin is x86-64 only");
static_assert(offsetof(HostFunctions, on_present) == 2 * sizeof(void*));
static_assert(offsetof(HostFunctions, on_device_reset) == 7 * sizeof(void*));
static_assert(offsetof(HostFunctions, on_message) == 8 * sizeof(void*));
static_assert(offsetof(HostFunctions, menu_shown) == 12 * sizeof(void*));
static_assert(offsetof(HostRendererData, device) == 8 && offsetof(HostRendererData, command_queue) == 24);
static_assert(offsetof(HostInitParam, functions) == 2 * sizeof(void*));
static_assert(offsetof(HostInitParam, renderer_data) == 3 * sizeof(void*));
