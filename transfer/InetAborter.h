#pragma once

#include "Inet.h"

#include <memory>

// Ends every component still at work that came from one factory, whatever
// component that factory makes: a window that closes ends its waiting
// uploads through the factory it was given, without knowing the component.
class InetAborter {
public:
    InetAborter();

    // The same components as `factory` makes, each one known to this aborter
    // for as long as it lives.
    InetFactory wrap(InetFactory factory) const;
    // Aborts each live component; any made from now on is aborted as soon as
    // it starts.
    void AbortAll();

    struct Live; // what the aborter and the components it knows share

private:
    std::shared_ptr<Live> live_;
};
