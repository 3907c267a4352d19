#pragma once

class QWebEngineProfile;

// How much the web engine may keep of the responses it fetched. Pagewell asks for a new URL at every refresh (the
// rn token), so a cached copy of a refreshed page is never asked for again. Left at the engine's default, the view's
// profile (off the record, so its HTTP cache lives in memory) keeps such copies up to its cap, 2 % of the machine's
// memory but at most 50 MB: at a 1 s interval the program grows by some 50–70 MiB over the first half hour and
// holds that for as long as it runs.
namespace HttpCacheLimit {
// The cap Pagewell gives the in-memory HTTP cache. What a refreshed page loads again (pictures, scripts,
// stylesheets) is asked for at every refresh and so stays among the most recently used entries; the refreshed pages
// themselves are the oldest and go first.
constexpr int MaximumBytes = 4 * 1024 * 1024;

// Keeps the profile's HTTP cache in memory and bounds it to MaximumBytes. Call before the profile's first request.
void applyTo(QWebEngineProfile& profile);
} // namespace HttpCacheLimit
