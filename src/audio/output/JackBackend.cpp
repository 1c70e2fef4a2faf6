#include "audio/output/JackBackend.h"

JackBackend::JackBackend(std::shared_ptr<StreamFeed> feed, int sampleRate, int channels)
    : feed_(std::move(feed)), sampleRate_(sampleRate), channels_(channels) {
    slot_.feed = feed_.get();
}

JackBackend::~JackBackend() {
    close();
}

bool JackBackend::open(std::string* why) {
    attached_ = JackSession::instance().attach(slot_, channels_, sampleRate_, why);
    return attached_;
}

void JackBackend::close() {
    if (!attached_) return;
    JackSession::instance().detach(slot_);
    attached_ = false;
}

int JackBackend::latencyFrames() const {
    return JackSession::instance().latencyFrames();
}

int JackBackend::channels() const {
    const int open = JackSession::instance().channels();
    return open > 0 ? open : channels_;
}

std::vector<std::string> JackBackend::channelNames() const {
    std::vector<std::string> names = JackSession::instance().channelNames();
    if (names.empty())
        for (int i = 0; i < channels_; ++i) names.push_back("out_" + std::to_string(i + 1));
    return names;
}

std::vector<OutputDevice> JackBackend::devices(int channels) {
    if (!JackSession::serverRuns()) return {};
    const int open = JackSession::instance().channels();
    const std::string client = JackSession::instance().clientName();
    return {{"jack:", "JACK (" + client + ":out_1 \u2026 out_" +
                          std::to_string(open > 0 ? open : channels) + ")"}};
}
