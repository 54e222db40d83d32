#pragma once

namespace platform {

// Whether a compositing manager draws the desktop, so that window opacity shows (and fades can be
// seen). On X11: some client owns the "_NET_WM_CM_S<screen>" selection of the default screen. A
// Wayland desktop always composites; other platforms (offscreen) do not.
bool desktopHasCompositor();

}  // namespace platform
