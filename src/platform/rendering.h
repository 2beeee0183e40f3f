#pragma once

namespace quarn::platform {

/// Whether the machine offers a GPU to draw with: on Linux, a DRM render
/// node (/dev/dri/renderD*). Without one, OpenGL runs on a software
/// rasterizer.
[[nodiscard]] bool hasHardwareRenderNode();

} // namespace quarn::platform
