#include "bridge/RouteControl.h"

#include "bridge/PCapOperator.h"

namespace {
class BridgeRoutes : public RouteControl
{
public:
    bool getRouteAdded() const override { return PCapOperator::getInstance()->getRouteAdded(); }
    void routeDelete() override { PCapOperator::getInstance()->routeDelete(); }
};
}

RouteControl *RouteControl::bridge()
{
    static BridgeRoutes routes;
    return &routes;
}
