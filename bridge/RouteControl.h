#pragma once

// What the window asks of the Ethernet bridge's routes: whether a channel left routes
// behind, and their removal (which also disables the bridge adapter).
class RouteControl
{
public:
    virtual ~RouteControl() = default;
    virtual bool getRouteAdded() const = 0;
    virtual void routeDelete() = 0;

    // The process-wide routes of the bridge. Nothing adds routes before an Ethernet
    // channel exists, so removal has nothing to do.
    static RouteControl *bridge();
};
