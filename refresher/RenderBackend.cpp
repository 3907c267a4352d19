#include "RenderBackend.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>
#include <QStringList>

#include <algorithm>

bool RenderBackend::isSoftwareRenderer(const QString& renderer)
{
    // Mesa's CPU renderers, Chromium's and Windows' own.
    static const QStringList cpuRenderers = {
        QStringLiteral("llvmpipe"),    QStringLiteral("softpipe"),    QStringLiteral("Software Rasterizer"),
        QStringLiteral("SwiftShader"), QStringLiteral("GDI Generic"), QStringLiteral("Microsoft Basic Render")};
    return renderer.trimmed().isEmpty() ||
           std::any_of(cpuRenderers.begin(), cpuRenderers.end(),
                       [&](const QString& cpu) { return renderer.contains(cpu, Qt::CaseInsensitive); });
}

QString RenderBackend::thisMachinesRenderer()
{
    QString renderer;
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (context.create() && context.makeCurrent(&surface)) {
        renderer = QString::fromLatin1(reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER)));
        context.doneCurrent();
    }
    return renderer;
}

bool RenderBackend::chooseFor(const std::function<QString()>& renderer)
{
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND") || qEnvironmentVariableIsSet("QSG_RHI_BACKEND"))
        return false;
    if (!isSoftwareRenderer(renderer()))
        return false;
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    return true;
}

bool RenderBackend::chooseForThisMachine()
{
    return chooseFor(&thisMachinesRenderer);
}
