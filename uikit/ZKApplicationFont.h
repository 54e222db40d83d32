#pragma once

// Makes the theme's text font (the light theme's "textFont", which every theme keeps: the design's
// text family at the base size, stood in for by the nearest installed family) the font of every
// widget that has none of its own: menus, tooltips, buttons, fields and lists draw in the same family
// as the themed views, not in the desktop's default family. Fonts the desktop gives particular
// classes (menus, tooltips) are dropped for it. Answers false, and changes nothing, when no installed
// family stands in for the text family. Call on the main thread once the application object exists,
// best before the first window.
bool zk_useThemeTextFontForApplication();
