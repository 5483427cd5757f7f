// mingw-w64's d3d12.h lacks the pointer type Dear ImGui's D3D12 back end uses
// to load D3D12SerializeRootSignature at run time.
#pragma once
#include <windows.h>
#include <d3d12.h>

typedef HRESULT(WINAPI* PFN_D3D12_SERIALIZE_ROOT_SIGNATURE)(
    const D3D12_ROOT_SIGNATURE_DESC* pRootSignature, D3D_ROOT_SIGNATURE_VERSION Version,
    ID3DBlob** ppBlob, ID3DBlob** ppErrorBlob);
