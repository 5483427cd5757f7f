#include "host/overlay_renderer.h"

#include "host/platform_frame.h"
#include "host/reframework_api.h"
#include "host/renderer_state.h"
#include "platform/platform.h"
#include "ui/frame_sequence.h"

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_dx12.h>

RendererState g_renderer;

namespace {

template <class T>
void SafeRelease(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

// Bounded so a hung GPU never stalls the game's threads for long.
constexpr DWORD kFrameFenceWaitMs = 250;
constexpr DWORD kResetFenceWaitMs = 2000;

bool WaitForFence(uint64_t value, DWORD timeout_ms)
{
    RendererState& r = g_renderer;
    if (!r.fence || r.fence->GetCompletedValue() >= value)
        return true;
    if (FAILED(r.fence->SetEventOnCompletion(value, r.fence_event)))
        return false;
    WaitForSingleObject(r.fence_event, timeout_ms);
    return r.fence->GetCompletedValue() >= value;
}

bool SetUpD3D11(const HostRendererData& rd)
{
    RendererState& r = g_renderer;
    auto* device = static_cast<ID3D11Device*>(rd.device);
    auto* swapchain = static_cast<IDXGISwapChain*>(rd.swapchain);
    ID3D11Texture2D* back_buffer = nullptr;
    if (FAILED(swapchain->GetBuffer(0, IID_PPV_ARGS(&back_buffer))))
        return false;
    const HRESULT hr = device->CreateRenderTargetView(back_buffer, nullptr, &r.back_buffer_view);
    back_buffer->Release();
    if (FAILED(hr))
        return false;
    ID3D11DeviceContext* context = nullptr;
    device->GetImmediateContext(&context);
    const bool ok = context && ImGui_ImplDX11_Init(device, context);
    SafeRelease(context); // the back end keeps its own reference
    if (!ok)
        SafeRelease(r.back_buffer_view);
    return ok;
}

void ReleaseD3D12()
{
    RendererState& r = g_renderer;
    for (int i = 0; i < kMaxBackBuffers; i++) {
        SafeRelease(r.allocators[i]);
        SafeRelease(r.back_buffers[i]);
        r.allocator_fence[i] = 0;
    }
    SafeRelease(r.command_list);
    SafeRelease(r.rtv_heap);
    SafeRelease(r.srv_heap);
    SafeRelease(r.swapchain3);
    SafeRelease(r.fence);
    if (r.fence_event) {
        CloseHandle(r.fence_event);
        r.fence_event = nullptr;
    }
    r.fence_value = 0;
    r.frames_in_flight = 0;
    r.frame_index = 0;
}

bool SetUpD3D12(const HostRendererData& rd)
{
    RendererState& r = g_renderer;
    auto* device = static_cast<ID3D12Device*>(rd.device);
    auto* swapchain = static_cast<IDXGISwapChain*>(rd.swapchain);
    DXGI_SWAP_CHAIN_DESC sd;
    if (FAILED(swapchain->GetDesc(&sd)) || FAILED(swapchain->QueryInterface(IID_PPV_ARGS(&r.swapchain3))))
        return false;
    // One allocator (and one set of Dear ImGui's buffers) per back buffer, so
    // the CPU never rewrites what the GPU may still read.
    r.frames_in_flight = (int)sd.BufferCount < 1 ? 1 : (sd.BufferCount > kMaxBackBuffers ? kMaxBackBuffers : (int)sd.BufferCount);
    for (int i = 0; i < r.frames_in_flight; i++)
        if (FAILED(device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&r.allocators[i]))))
            return false;
    if (FAILED(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, r.allocators[0], nullptr,
                                         IID_PPV_ARGS(&r.command_list))) ||
        FAILED(r.command_list->Close()))
        return false;
    if (FAILED(device->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&r.fence))))
        return false;
    r.fence_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!r.fence_event)
        return false;

    D3D12_DESCRIPTOR_HEAP_DESC rtv_desc = {};
    rtv_desc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    rtv_desc.NumDescriptors = kMaxBackBuffers;
    if (FAILED(device->CreateDescriptorHeap(&rtv_desc, IID_PPV_ARGS(&r.rtv_heap))))
        return false;
    D3D12_DESCRIPTOR_HEAP_DESC srv_desc = {};
    srv_desc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    srv_desc.NumDescriptors = 1;
    srv_desc.Flags = D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE;
    if (FAILED(device->CreateDescriptorHeap(&srv_desc, IID_PPV_ARGS(&r.srv_heap))))
        return false;

    const UINT rtv_step = device->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    D3D12_CPU_DESCRIPTOR_HANDLE rtv = r.rtv_heap->GetCPUDescriptorHandleForHeapStart();
    for (UINT i = 0; i < kMaxBackBuffers; i++, rtv.ptr += rtv_step) {
        r.back_buffer_rtv[i] = rtv;
        if (FAILED(swapchain->GetBuffer(i, IID_PPV_ARGS(&r.back_buffers[i]))))
            continue; // the swap chain has fewer buffers
        device->CreateRenderTargetView(r.back_buffers[i], nullptr, rtv);
    }
    // The pipeline's target format must be the back buffers' own.
    return ImGui_ImplDX12_Init(device, r.frames_in_flight, sd.BufferDesc.Format, r.srv_heap,
                               r.srv_heap->GetCPUDescriptorHandleForHeapStart(),
                               r.srv_heap->GetGPUDescriptorHandleForHeapStart());
}

} // namespace

bool InitOverlayRenderer()
{
    RendererState& r = g_renderer;
    if (r.initialised)
        return true;
    // The context and fonts outlive device resets; only the renderer is rebuilt.
    if (!ImGui::GetCurrentContext()) {
        ImGui::CreateContext();
        ImGui::GetIO().IniFilename = "example_dll_ui.ini";
    }
    ImGuiIO& io = ImGui::GetIO();
    if (io.Fonts->Fonts.empty() && !SetUpOverlay(io))
        return false;

    const HostRendererData* rd = reframework::API::get().renderer_data();
    if (!rd || !rd->swapchain)
        return false;
    DXGI_SWAP_CHAIN_DESC sd;
    if (FAILED(static_cast<IDXGISwapChain*>(rd->swapchain)->GetDesc(&sd)))
        return false;
    if (!InitPlatformBackend(sd.OutputWindow))
        return false;

    bool ok = true;
    if (rd->renderer_type == HostRendererD3D11) {
        ok = rd->device && SetUpD3D11(*rd);
    } else if (rd->renderer_type == HostRendererD3D12) {
        ok = rd->device && SetUpD3D12(*rd);
        if (!ok)
            ReleaseD3D12();
    }
    if (!ok)
        return false;
    r.initialised = true;
    r.font_texture_stale = false;
    return true;
}

void RenderDrawData11()
{
    RendererState& r = g_renderer;
    ID3D11Device* device = static_cast<ID3D11Device*>(reframework::API::get().renderer_data()->device);
    ID3D11DeviceContext* context = nullptr;
    device->GetImmediateContext(&context);
    if (!context || !r.back_buffer_view) {
        SafeRelease(context);
        return;
    }
    // The back buffer is not cleared: the overlay goes over the game's frame.
    context->OMSetRenderTargets(1, &r.back_buffer_view, nullptr);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    context->Release();
}

void RenderDrawData12()
{
    RendererState& r = g_renderer;
    auto* queue = static_cast<ID3D12CommandQueue*>(reframework::API::get().renderer_data()->command_queue);
    if (!queue || !r.command_list || r.frames_in_flight == 0)
        return;
    const int slot = (int)(r.frame_index % (uint64_t)r.frames_in_flight);
    // Skip the frame rather than reset an allocator the GPU still uses.
    if (!WaitForFence(r.allocator_fence[slot], kFrameFenceWaitMs))
        return;
    ID3D12CommandAllocator* allocator = r.allocators[slot];
    const UINT index = r.swapchain3->GetCurrentBackBufferIndex();
    if (index >= (UINT)kMaxBackBuffers || !r.back_buffers[index])
        return;
    if (FAILED(allocator->Reset()) || FAILED(r.command_list->Reset(allocator, nullptr)))
        return;

    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = r.back_buffers[index];
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = D3D12_RESOURCE_STATE_PRESENT;
    barrier.Transition.StateAfter = D3D12_RESOURCE_STATE_RENDER_TARGET;
    r.command_list->ResourceBarrier(1, &barrier);
    r.command_list->OMSetRenderTargets(1, &r.back_buffer_rtv[index], FALSE, nullptr);
    r.command_list->SetDescriptorHeaps(1, &r.srv_heap);
    ImGui_ImplDX12_RenderDrawData(ImGui::GetDrawData(), r.command_list);
    barrier.Transition.StateBefore = D3D12_RESOURCE_STATE_RENDER_TARGET;
    barrier.Transition.StateAfter = D3D12_RESOURCE_STATE_PRESENT;
    r.command_list->ResourceBarrier(1, &barrier);
    if (FAILED(r.command_list->Close()))
        return;
    ID3D12CommandList* lists[] = {r.command_list};
    queue->ExecuteCommandLists(1, lists);
    queue->Signal(r.fence, ++r.fence_value);
    r.allocator_fence[slot] = r.fence_value;
    r.frame_index++;
}

void RecreateFontTexture(void*)
{
    RendererState& r = g_renderer;
    r.font_texture_stale = true;
    if (!r.initialised || !reframework::API::exists())
        return; // set-up creates it from the grown atlas
    const HostRendererData* rd = reframework::API::get().renderer_data();
    if (rd->renderer_type == HostRendererD3D11) {
        // The immediate context holds no work of ours between frames.
        ImGui_ImplDX11_InvalidateDeviceObjects();
        r.font_texture_stale = !ImGui_ImplDX11_CreateDeviceObjects();
    } else if (rd->renderer_type == HostRendererD3D12) {
        if (!WaitForFence(r.fence_value, kResetFenceWaitMs))
            return;
        ImGui_ImplDX12_InvalidateDeviceObjects();
        r.font_texture_stale = !ImGui_ImplDX12_CreateDeviceObjects();
    } else {
        r.font_texture_stale = false;
    }
}

void OnDeviceReset()
{
    try {
        DebugOutput("Example Device Reset\n");
        RendererState& r = g_renderer;
        if (!reframework::API::exists())
            return;
        const HostRendererData* rd = reframework::API::get().renderer_data();
        const bool backend_up = ImGui::GetCurrentContext() && ImGui::GetIO().BackendRendererUserData;
        if (rd->renderer_type == HostRendererD3D11) {
            if (backend_up)
                ImGui_ImplDX11_Shutdown(); // device objects and the device, context and factory references
            SafeRelease(r.back_buffer_view);
        } else if (rd->renderer_type == HostRendererD3D12) {
            // Nothing may be released while the GPU still reads it.
            WaitForFence(r.fence_value, kResetFenceWaitMs);
            if (backend_up)
                ImGui_ImplDX12_Shutdown(); // device objects and frame resources
            ReleaseD3D12();
        }
        r.initialised = false;
    } catch (...) {
        DebugOutput("Device reset failed\n");
    }
}
