#include "InetAborter.h"

#include <mutex>
#include <set>

struct InetAborter::Live {
    std::mutex mutex;
    std::set<Inet*> components;
    bool aborted = false;
};

namespace {

// Passes every call through and tells the aborter when it comes and goes.
class TrackedInet final : public Inet {
public:
    TrackedInet(std::unique_ptr<Inet> inner, std::shared_ptr<InetAborter::Live> live)
        : inner_(std::move(inner)), live_(std::move(live)) {
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

    void SetProtocol(int protocol) override { inner_->SetProtocol(protocol); }
    void SetRemoteHost(const QString& host) override { inner_->SetRemoteHost(host); }
    void SetUserName(const QString& userName) override { inner_->SetUserName(userName); }
    void SetPassword(const QString& password) override { inner_->SetPassword(password); }
    QString URL() const override { return inner_->URL(); }
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
    bool StillExecuting() const override { return inner_->StillExecuting(); }
    qint32 ResponseCode() const override { return inner_->ResponseCode(); }
    void Abort() override { inner_->Abort(); }

private:
    std::unique_ptr<Inet> inner_;
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
