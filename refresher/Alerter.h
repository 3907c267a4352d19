#pragma once

#include <QString>

// How a person is told that a watched page changed: whatever the desktop offers to catch their eye and ear. Tests put
// one of their own in its place.
class Alerter
{
public:
    virtual ~Alerter() = default;
    virtual void alert(const QString& title, const QString& body) = 0;
};
