#include "ui/palette.h"

const ImVec4 ColText(0.92f, 0.94f, 0.97f, 1.0f);
const ImVec4 ColMuted(0.56f, 0.60f, 0.67f, 1.0f);
const ImVec4 ColDim(0.36f, 0.39f, 0.45f, 1.0f);
const ImVec4 ColAccent(0.40f, 0.57f, 0.76f, 1.0f);
const ImVec4 ColAccentHover(0.52f, 0.70f, 0.90f, 1.0f);
const ImVec4 ColGold(0.83f, 0.70f, 0.42f, 1.0f);
const ImVec4 ColGreen(0.46f, 0.76f, 0.57f, 1.0f);
const ImVec4 ColWarn(0.96f, 0.58f, 0.26f, 1.0f);
const ImVec4 ColPanel(0.098f, 0.107f, 0.124f, 1.0f);
const ImVec4 ColOnAccent(0.04f, 0.05f, 0.06f, 1.0f);

ImU32 PackCol(const ImVec4& col, float alpha)
{
    return ImGui::ColorConvertFloat4ToU32(ImVec4(col.x, col.y, col.z, col.w * alpha * ImGui::GetStyle().Alpha));
}

void ApplyOverlayStyle(ImGuiStyle& style)
{
    style.WindowPadding = ImVec2(28, 24);
    style.WindowRounding = 14.0f;
    style.WindowBorderSize = 1.0f;
    style.WindowTitleAlign = ImVec2(0.0f, 0.5f);
    style.ChildRounding = 12.0f;
    style.PopupRounding = 10.0f;
    style.FramePadding = ImVec2(15, 11);
    style.FrameRounding = 9.0f;
    style.FrameBorderSize = 0.0f;
    style.ItemSpacing = ImVec2(14, 14);
    style.ItemInnerSpacing = ImVec2(9, 7);
    style.ScrollbarSize = 10.0f;
    style.ScrollbarRounding = 6.0f;
    style.GrabRounding = 9.0f;

    ImVec4* c = style.Colors;
    const ImVec4 window_bg(0.043f, 0.047f, 0.055f, 0.98f);
    const ImVec4 child_bg(0.072f, 0.078f, 0.090f, 1.0f);
    const ImVec4 hairline(1.0f, 1.0f, 1.0f, 0.05f);
    c[ImGuiCol_Text] = ColText;
    c[ImGuiCol_TextDisabled] = ColDim;
    c[ImGuiCol_WindowBg] = window_bg;
    c[ImGuiCol_TitleBg] = window_bg;
    c[ImGuiCol_TitleBgActive] = window_bg;
    c[ImGuiCol_ChildBg] = child_bg;
    c[ImGuiCol_PopupBg] = child_bg;
    c[ImGuiCol_Border] = hairline;
    c[ImGuiCol_Separator] = hairline;
    c[ImGuiCol_FrameBg] = ImVec4(0.105f, 0.114f, 0.133f, 1.0f);
    c[ImGuiCol_FrameBgHovered] = ImVec4(0.14f, 0.152f, 0.176f, 1.0f);
    c[ImGuiCol_FrameBgActive] = ImVec4(0.165f, 0.18f, 0.21f, 1.0f);
    c[ImGuiCol_ScrollbarBg] = ImVec4(0.0f, 0.0f, 0.0f, 0.0f);
    c[ImGuiCol_ScrollbarGrab] = ImVec4(1.0f, 1.0f, 1.0f, 0.09f);
    c[ImGuiCol_ScrollbarGrabHovered] = ImVec4(1.0f, 1.0f, 1.0f, 0.15f);
    c[ImGuiCol_CheckMark] = ColAccentHover;
    c[ImGuiCol_SliderGrabActive] = ColAccentHover;
    c[ImGuiCol_SliderGrab] = ColAccent;
    c[ImGuiCol_Button] = ImVec4(0.12f, 0.13f, 0.152f, 1.0f);
    c[ImGuiCol_ButtonHovered] = ImVec4(0.175f, 0.195f, 0.23f, 1.0f);
    c[ImGuiCol_ButtonActive] = ImVec4(0.215f, 0.24f, 0.285f, 1.0f);
    c[ImGuiCol_Header] = ImVec4(0.14f, 0.155f, 0.182f, 1.0f);
    c[ImGuiCol_HeaderHovered] = ImVec4(0.18f, 0.20f, 0.235f, 1.0f);
    c[ImGuiCol_HeaderActive] = ImVec4(0.21f, 0.232f, 0.275f, 1.0f);
}
