#pragma once

#include <QString>

#include <functional>

// How the main window, which holds the web view, is composed. Such a window is composed through OpenGL, so where
// OpenGL runs on the CPU (no GPU: most virtual machines, remote desktops, many office PCs) every change anywhere in
// it, the clock once a second among them, costs a software composition of the whole window. Qt Quick's software
// scene graph, which the web view supports, redraws only what changed instead. Machines with a GPU keep it.
// bench/baseline makes the same choice through this code, so that the benchmarks compare like with like.
namespace RenderBackend {
// Whether an OpenGL renderer name is a renderer that runs on the CPU; an empty name (no OpenGL at all) counts too.
bool isSoftwareRenderer(const QString& renderer);

// The name this machine's OpenGL gives for its renderer (GL_RENDERER), empty when there is no OpenGL.
QString thisMachinesRenderer();

// Chooses the software scene graph when the renderer that `renderer` names runs on the CPU or is missing, unless
// the user chose a backend (QT_QUICK_BACKEND, QSG_RHI_BACKEND); `renderer` is asked only when the choice is ours.
// Call once the application object exists and before any window is made. True when the software scene graph was
// chosen.
bool chooseFor(const std::function<QString()>& renderer);

// chooseFor() this machine's renderer.
bool chooseForThisMachine();
} // namespace RenderBackend
