#include "HttpCacheLimit.h"

#include <QWebEngineProfile>

void HttpCacheLimit::applyTo(QWebEngineProfile& profile)
{
    // No cache at all bounds the memory too, but then a page shown again after its renderer ended, or a picture
    // the server marks for revalidation, is fetched whole every time; a small cache keeps those cheap.
    profile.setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile.setHttpCacheMaximumSize(MaximumBytes);
}
