// Dear ImGui on the host's swap chain: set-up on the first presented frame,
// drawing into the back buffer, and tear-down when the host resets the device.
#pragma once

// Render thread. Returns true when ready (also when the renderer type has no
// draw path); false leaves everything to be retried on the next frame.
bool InitOverlayRenderer();

// Render thread, after ImGui::Render().
void RenderDrawData11();
void RenderDrawData12();

// Render thread, between frames, after the font atlas was rebuilt: replaces
// the renderer's font texture. On Direct3D 12 the GPU must be done with the
// old one first; when it is not in time, the next frame tries again.
void RecreateFontTexture(void* user = nullptr);

// Host callback: releases the renderer's device objects so the next present
// sets them up again.
void OnDeviceReset();
