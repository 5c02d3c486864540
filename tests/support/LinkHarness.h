#pragma once
// A data link under test without a window: an in-memory port, the options as a value the
// test sets, the main timer's steps run by hand, and what the link shows recorded. Echo
// checks are answered as by a module that answers, one at a time: a request made while one
// is under way is dropped, as the ping worker drops it.

#include "link/DataLink.h"
#include "tests/support/FakePort.h"

#include <QMap>
#include <QStringList>
#include <memory>

namespace vsptest {

class LinkHarness : public vsp::TDataLinkEvents {
public:
    explicit LinkHarness(const vsp::TLinkTimings& timings = {});
    ~LinkHarness() override;

    vsp::TDataLink* operator->() const { return link.get(); }

    FakePort port;
    vsp::TLinkOptions options;
    std::unique_ptr<vsp::TDataLink> link;

    QStringList log;
    QMap<vsp::TLinkLabel, QString> labels;
    vsp::TLinkCounters shown; // as last shown

    // Points the client endpoint at 127.0.0.1:port, makes the port and opens it as a program
    // does (which brings the client link up).
    void OpenClient(int port);
    void Ticks(int n);

    void Log(const QString& message) override { log << message; }
    void SetLabel(vsp::TLinkLabel label, const QString& text) override { labels[label] = text; }
    void ShowCounters(const vsp::TLinkCounters& counters) override { shown = counters; }
    bool RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered) override;
    void TeaKeyError(const QString& text) override { log << text; }
    void PortCloseDrained() override { }
    void Pace() override { }

private:
    bool pinging_ = false;
};

} // namespace vsptest
