#include "gpu.h"

#include <cstdio>
#include <cstring>

namespace {

template <class T>
void SafeRelease(T*& p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

const float kClear[4] = {kSceneColour[0] / 255.0f, kSceneColour[1] / 255.0f, kSceneColour[2] / 255.0f, 1.0f};

bool MakeRtv11(Gpu& g)
{
    ID3D11Texture2D* back = nullptr;
    if (FAILED(g.swapchain->GetBuffer(0, IID_PPV_ARGS(&back))))
        return false;
    const HRESULT hr = g.device11->CreateRenderTargetView(back, nullptr, &g.rtv11);
    back->Release();
    return SUCCEEDED(hr);
}

bool GetBuffers12(Gpu& g)
{
    const UINT step = g.device12->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    D3D12_CPU_DESCRIPTOR_HANDLE h = g.rtv_heap12->GetCPUDescriptorHandleForHeapStart();
    for (UINT i = 0; i < kGpuBuffers12; i++, h.ptr += step) {
        if (FAILED(g.swapchain->GetBuffer(i, IID_PPV_ARGS(&g.buffers12[i]))))
            return false;
        g.device12->CreateRenderTargetView(g.buffers12[i], nullptr, h);
    }
    return true;
}

void WaitIdle12(Gpu& g)
{
    g.queue12->Signal(g.fence12, ++g.fence_value);
    if (g.fence12->GetCompletedValue() < g.fence_value) {
        g.fence12->SetEventOnCompletion(g.fence_value, g.fence_event);
        WaitForSingleObject(g.fence_event, 10000);
    }
}

void Barrier(ID3D12GraphicsCommandList* list, ID3D12Resource* r, D3D12_RESOURCE_STATES from, D3D12_RESOURCE_STATES to)
{
    D3D12_RESOURCE_BARRIER b = {};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition.pResource = r;
    b.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    b.Transition.StateBefore = from;
    b.Transition.StateAfter = to;
    list->ResourceBarrier(1, &b);
}

void Submit12(Gpu& g)
{
    g.list12->Close();
    ID3D12CommandList* lists[] = {g.list12};
    g.queue12->ExecuteCommandLists(1, lists);
}

bool Create11(Gpu& g)
{
    DXGI_SWAP_CHAIN_DESC sd = {};
    sd.BufferCount = 2;
    sd.BufferDesc.Width = g.width;
    sd.BufferDesc.Height = g.height;
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.OutputWindow = g.window;
    sd.SampleDesc.Count = 1;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    D3D_FEATURE_LEVEL got;
    HRESULT hr = D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2,
                                               D3D11_SDK_VERSION, &sd, &g.swapchain, &g.device11, &got, &g.context11);
    if (FAILED(hr)) {
        std::fprintf(stderr, "winhost: D3D11CreateDeviceAndSwapChain failed 0x%08lx\n", (unsigned long)hr);
        return false;
    }
    return MakeRtv11(g);
}

bool Create12(Gpu& g)
{
    HRESULT hr = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&g.device12));
    if (FAILED(hr)) {
        std::fprintf(stderr, "winhost: D3D12CreateDevice failed 0x%08lx\n", (unsigned long)hr);
        return false;
    }
    D3D12_COMMAND_QUEUE_DESC qd = {};
    qd.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    if (FAILED(g.device12->CreateCommandQueue(&qd, IID_PPV_ARGS(&g.queue12))))
        return false;
    IDXGIFactory4* factory = nullptr;
    if (FAILED(CreateDXGIFactory1(IID_PPV_ARGS(&factory))))
        return false;
    DXGI_SWAP_CHAIN_DESC1 sd = {};
    sd.Width = g.width;
    sd.Height = g.height;
    sd.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = kGpuBuffers12;
    sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    IDXGISwapChain1* sc1 = nullptr;
    hr = factory->CreateSwapChainForHwnd(g.queue12, g.window, &sd, nullptr, nullptr, &sc1);
    factory->Release();
    if (FAILED(hr)) {
        std::fprintf(stderr, "winhost: CreateSwapChainForHwnd failed 0x%08lx\n", (unsigned long)hr);
        return false;
    }
    hr = sc1->QueryInterface(IID_PPV_ARGS(&g.swapchain3));
    sc1->Release();
    if (FAILED(hr))
        return false;
    g.swapchain = g.swapchain3;
    g.swapchain->AddRef();
    D3D12_DESCRIPTOR_HEAP_DESC hd = {};
    hd.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
    hd.NumDescriptors = kGpuBuffers12;
    if (FAILED(g.device12->CreateDescriptorHeap(&hd, IID_PPV_ARGS(&g.rtv_heap12))) ||
        FAILED(g.device12->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&g.allocator12))) ||
        FAILED(g.device12->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, g.allocator12, nullptr,
                                             IID_PPV_ARGS(&g.list12))) ||
        FAILED(g.list12->Close()) ||
        FAILED(g.device12->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&g.fence12))))
        return false;
    g.fence_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return g.fence_event && GetBuffers12(g);
}

} // namespace

bool GpuCreate(Gpu& g, GpuApi api, HWND window, UINT width, UINT height)
{
    g.api = api;
    g.window = window;
    g.width = width;
    g.height = height;
    return api == GpuD3D11 ? Create11(g) : Create12(g);
}

void* GpuDevice(const Gpu& g)
{
    return g.api == GpuD3D11 ? (void*)g.device11 : (void*)g.device12;
}

void* GpuQueue(const Gpu& g)
{
    return g.api == GpuD3D12 ? (void*)g.queue12 : nullptr;
}

void GpuDrawScene(Gpu& g)
{
    if (g.api == GpuD3D11) {
        g.context11->OMSetRenderTargets(1, &g.rtv11, nullptr);
        g.context11->ClearRenderTargetView(g.rtv11, kClear);
        return;
    }
    WaitIdle12(g);
    const UINT index = g.swapchain3->GetCurrentBackBufferIndex();
    g.allocator12->Reset();
    g.list12->Reset(g.allocator12, nullptr);
    Barrier(g.list12, g.buffers12[index], D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
    D3D12_CPU_DESCRIPTOR_HANDLE h = g.rtv_heap12->GetCPUDescriptorHandleForHeapStart();
    h.ptr += (SIZE_T)index * g.device12->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    g.list12->ClearRenderTargetView(h, kClear, 0, nullptr);
    Barrier(g.list12, g.buffers12[index], D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
    Submit12(g);
}

bool GpuReadBack(Gpu& g, std::vector<uint8_t>& rgba)
{
    rgba.assign((size_t)g.width * g.height * 4, 0);
    if (g.api == GpuD3D11) {
        ID3D11Texture2D* back = nullptr;
        if (FAILED(g.swapchain->GetBuffer(0, IID_PPV_ARGS(&back))))
            return false;
        D3D11_TEXTURE2D_DESC td;
        back->GetDesc(&td);
        td.Usage = D3D11_USAGE_STAGING;
        td.BindFlags = 0;
        td.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        td.MiscFlags = 0;
        ID3D11Texture2D* staging = nullptr;
        bool ok = SUCCEEDED(g.device11->CreateTexture2D(&td, nullptr, &staging));
        if (ok) {
            g.context11->CopyResource(staging, back);
            D3D11_MAPPED_SUBRESOURCE m;
            ok = SUCCEEDED(g.context11->Map(staging, 0, D3D11_MAP_READ, 0, &m));
            if (ok) {
                for (UINT y = 0; y < g.height; y++)
                    std::memcpy(&rgba[(size_t)y * g.width * 4], (const uint8_t*)m.pData + (size_t)y * m.RowPitch, g.width * 4);
                g.context11->Unmap(staging, 0);
            }
        }
        SafeRelease(staging);
        back->Release();
        return ok;
    }
    WaitIdle12(g);
    const UINT index = g.swapchain3->GetCurrentBackBufferIndex();
    ID3D12Resource* back = g.buffers12[index];
    const D3D12_RESOURCE_DESC rd = back->GetDesc();
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT fp;
    UINT64 total = 0;
    g.device12->GetCopyableFootprints(&rd, 0, 1, 0, &fp, nullptr, nullptr, &total);
    D3D12_HEAP_PROPERTIES hp = {};
    hp.Type = D3D12_HEAP_TYPE_READBACK;
    D3D12_RESOURCE_DESC bd = {};
    bd.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    bd.Width = total;
    bd.Height = 1;
    bd.DepthOrArraySize = 1;
    bd.MipLevels = 1;
    bd.SampleDesc.Count = 1;
    bd.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ID3D12Resource* readback = nullptr;
    if (FAILED(g.device12->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &bd, D3D12_RESOURCE_STATE_COPY_DEST,
                                                   nullptr, IID_PPV_ARGS(&readback))))
        return false;
    g.allocator12->Reset();
    g.list12->Reset(g.allocator12, nullptr);
    Barrier(g.list12, back, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_SOURCE);
    D3D12_TEXTURE_COPY_LOCATION dst = {};
    dst.pResource = readback;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    dst.PlacedFootprint = fp;
    D3D12_TEXTURE_COPY_LOCATION src = {};
    src.pResource = back;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    src.SubresourceIndex = 0;
    g.list12->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    Barrier(g.list12, back, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PRESENT);
    Submit12(g);
    WaitIdle12(g);
    void* p = nullptr;
    const bool ok = SUCCEEDED(readback->Map(0, nullptr, &p));
    if (ok) {
        for (UINT y = 0; y < g.height; y++)
            std::memcpy(&rgba[(size_t)y * g.width * 4], (const uint8_t*)p + fp.Offset + (size_t)y * fp.Footprint.RowPitch,
                        g.width * 4);
        readback->Unmap(0, nullptr);
    }
    readback->Release();
    return ok;
}

void GpuPresent(Gpu& g)
{
    g.swapchain->Present(0, 0);
    if (g.api == GpuD3D12)
        WaitIdle12(g);
}

bool GpuResize(Gpu& g, UINT width, UINT height)
{
    if (g.api == GpuD3D11) {
        g.context11->OMSetRenderTargets(0, nullptr, nullptr);
        SafeRelease(g.rtv11);
        g.context11->Flush();
    } else {
        WaitIdle12(g);
        for (auto& b : g.buffers12)
            SafeRelease(b);
    }
    const HRESULT hr = g.swapchain->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0);
    if (FAILED(hr)) {
        std::fprintf(stderr, "winhost: ResizeBuffers failed 0x%08lx\n", (unsigned long)hr);
        return false;
    }
    g.width = width;
    g.height = height;
    return g.api == GpuD3D11 ? MakeRtv11(g) : GetBuffers12(g);
}
