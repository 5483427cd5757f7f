// The overlay renderer's state: render thread only.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <d3d12.h>
#include <dxgi1_4.h>

#include <cstdint>

constexpr int kMaxBackBuffers = 4;

struct RendererState
{
    bool initialised = false;
    HWND window = nullptr;             // the swap chain's output window
    int64_t counter_frequency = 0;
    int64_t counter_last = 0;
    int32_t last_cursor = -3;          // shape last set on the system cursor (none yet)
    bool font_texture_stale = false;   // the atlas grew and its texture is not re-created yet

    // Direct3D 11
    ID3D11RenderTargetView* back_buffer_view = nullptr;

    // Direct3D 12: one allocator per frame in flight, each reused only once
    // the fence shows the GPU is done with its last list.
    IDXGISwapChain3* swapchain3 = nullptr;
    ID3D12CommandAllocator* allocators[kMaxBackBuffers] = {};
    uint64_t allocator_fence[kMaxBackBuffers] = {};
    ID3D12GraphicsCommandList* command_list = nullptr;
    ID3D12DescriptorHeap* rtv_heap = nullptr;
    ID3D12DescriptorHeap* srv_heap = nullptr;
    ID3D12Resource* back_buffers[kMaxBackBuffers] = {};
    D3D12_CPU_DESCRIPTOR_HANDLE back_buffer_rtv[kMaxBackBuffers] = {};
    ID3D12Fence* fence = nullptr;
    HANDLE fence_event = nullptr;
    uint64_t fence_value = 0;
    int frames_in_flight = 0;
    uint64_t frame_index = 0;
};

extern RendererState g_renderer;
