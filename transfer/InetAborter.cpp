#include "InetAborter.h"

#include "ForwardingInet.h"

#include <mutex>
#include <set>

struct InetAborter::Live {
    std::mutex mutex;
    std::set<Inet*> components;
    bool aborted = false;
};

namespace {

// Tells the aborter when a component comes and goes.
class TrackedInet final : public ForwardingInet {
public:
    TrackedInet(std::unique_ptr<Inet> inner, std::shared_ptr<InetAborter::Live> live)
        : ForwardingInet(std::move(inner)), live_(std::move(live)) {
        std::lock_guard lock(live_->mutex);
        live_->components.insert(inner_.get());
    }
    ~TrackedInet() override {
        {
            std::lock_guard lock(live_->mutex);
            live_->components.erase(inner_.get());
        }
        inner_.reset();
    }

    void Execute(const QString& url, const QString& operation) override {
        inner_->Execute(url, operation);
        bool aborted = false;
        {
            std::lock_guard lock(live_->mutex);
            aborted = live_->aborted;
        }
        if (aborted)
            inner_->Abort();
    }

private:
    std::shared_ptr<InetAborter::Live> live_;
};

} // namespace

InetAborter::InetAborter() : live_(std::make_shared<Live>()) {}

InetFactory InetAborter::wrap(InetFactory factory) const {
    return [factory = std::move(factory), live = live_]() -> std::unique_ptr<Inet> {
        std::unique_ptr<Inet> inner = factory ? factory() : nullptr;
        if (!inner)
            return nullptr;
        return std::make_unique<TrackedInet>(std::move(inner), live);
    };
}

void InetAborter::AbortAll() {
    std::set<Inet*> components;
    {
        std::lock_guard lock(live_->mutex);
        live_->aborted = true;
        components = live_->components;
    }
    // Only the window's thread makes and ends components, so none of these
    // goes away meanwhile.
    for (Inet* component : components) {
        try {
            component->Abort();
        } catch (...) {
        }
    }
}
