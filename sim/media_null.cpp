// The feed of a DVR without cameras: connections get replies and nothing else.
#include "sim/media_feed.h"

namespace zaq::sim {

namespace {

class NullMediaFeed final : public MediaFeed {
  public:
    void start() override {}
    void stop() override {}
    void attach(std::shared_ptr<Outlet>) override {}
    void detach(const Outlet*) override {}
    void setPaused(bool) override {}
    bool ready(std::string*) const override { return true; }
};

}  // namespace

std::unique_ptr<MediaFeed> createNullMediaFeed() {
    return std::make_unique<NullMediaFeed>();
}

}  // namespace zaq::sim
