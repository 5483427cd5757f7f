// The stand-in game's swap chain: a window's D3D11 or D3D12 device and swap
// chain, a plain scene, read-back of the back buffer, resize.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <d3d12.h>
#include <dxgi1_4.h>

#include <cstdint>
#include <vector>

enum GpuApi { GpuD3D11 = 0, GpuD3D12 = 1 };

constexpr int kGpuBuffers12 = 3;

// The scene's clear colour, RGBA8.
constexpr uint8_t kSceneColour[4] = {38, 89, 115, 255};

struct Gpu
{
    GpuApi api = GpuD3D11;
    HWND window = nullptr;
    UINT width = 0, height = 0;
    IDXGISwapChain* swapchain = nullptr;

    ID3D11Device* device11 = nullptr;
    ID3D11DeviceContext* context11 = nullptr;
    ID3D11RenderTargetView* rtv11 = nullptr;

    ID3D12Device* device12 = nullptr;
    ID3D12CommandQueue* queue12 = nullptr;
    IDXGISwapChain3* swapchain3 = nullptr;
    ID3D12CommandAllocator* allocator12 = nullptr;
    ID3D12GraphicsCommandList* list12 = nullptr;
    ID3D12DescriptorHeap* rtv_heap12 = nullptr;
    ID3D12Resource* buffers12[kGpuBuffers12] = {};
    ID3D12Fence* fence12 = nullptr;
    HANDLE fence_event = nullptr;
    UINT64 fence_value = 0;
};

bool GpuCreate(Gpu& gpu, GpuApi api, HWND window, UINT width, UINT height);
void* GpuDevice(const Gpu& gpu);
void* GpuQueue(const Gpu& gpu);

void GpuDrawScene(Gpu& gpu);
// Reads the current back buffer as RGBA8 rows (stride width * 4).
bool GpuReadBack(Gpu& gpu, std::vector<uint8_t>& rgba);
void GpuPresent(Gpu& gpu);
// The plugin has released its references (device reset) before this.
bool GpuResize(Gpu& gpu, UINT width, UINT height);
