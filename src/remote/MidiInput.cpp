#include "remote/MidiInput.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <QRegularExpression>
#include <cstdio>
#include <vector>

namespace {

void onMessage(double, std::vector<unsigned char>* message, void* input) {
    if (message && !message->empty())
        static_cast<MidiInput*>(input)->feed(message->data(), message->size());
}

// ALSA names a port "Client:Port 24:0"; a device plugged in again may get other numbers.
QString withoutAddress(const QString& name) {
    static const QRegularExpression address(QStringLiteral(" \\d+:\\d+$"));
    return QString(name).remove(address);
}

RtMidi::Api apiOf(MidiInput::Backend backend) {
    return backend == MidiInput::Backend::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
}

}  // namespace

MidiInput::MidiInput(Deliver deliver, Tell tell, Learned learned)
    : deliver_(std::move(deliver)), tell_(std::move(tell)), learned_(std::move(learned)) {}

MidiInput::~MidiInput() {
    close();
}

MidiInput::Backend MidiInput::availableBackend() {
    if (::access("/dev/snd/seq", R_OK | W_OK) == 0) return Backend::Alsa;
    // The JACK client of the MIDI library would otherwise start a server of its own, or fail
    // only when the port is made; asking first keeps both from happening.
    // Without a server the JACK library prints its attempt to reach one; that is no news here.
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("Cuevox probe", JackNoStartServer, &status);
    jack_set_error_function([](const char* text) { std::fprintf(stderr, "%s\n", text); });
    if (!probe) return Backend::None;
    jack_client_close(probe);
    return Backend::Jack;
}

std::unique_ptr<RtMidiIn> MidiInput::openIn(const char* client) {
    auto in = std::make_unique<RtMidiIn>(apiOf(backend_), client, 1024);
    // System exclusive carries MIDI Show Control; clock and active sensing are noise here.
    in->ignoreTypes(false, true, true);
    in->setCallback(&onMessage, this);
    return in;
}

QString MidiInput::open(Backend backend, const QString& device) {
    if (backend == Backend::None) {
        close();
        return QStringLiteral("no MIDI system");
    }
    device_.reset();
    if (!port_ || backend_ != backend) {
        close();
        backend_ = backend;
        try {
            port_ = openIn("Cuevox");
            port_->openVirtualPort("Cuevox");
        } catch (const RtMidiError& error) {
            port_.reset();
            backend_ = Backend::None;
            return QString::fromStdString(error.getMessage());
        }
    }
    deviceName_ = device;
    if (device.isEmpty()) return {};
    try {
        if (connectDevice()) return {};
        return QStringLiteral("the MIDI device \"%1\" is not connected").arg(device);
    } catch (const RtMidiError& error) {
        device_.reset();
        return QString::fromStdString(error.getMessage());
    }
}

bool MidiInput::connectDevice() {
    device_ = openIn("Cuevox device");
    const QString wanted = withoutAddress(deviceName_);
    for (unsigned i = 0; i < device_->getPortCount(); ++i) {
        if (withoutAddress(QString::fromStdString(device_->getPortName(i))) != wanted) continue;
        device_->openPort(i, "Cuevox device");
        return true;
    }
    device_.reset();
    return false;
}

MidiInput::DeviceChange MidiInput::watchDevice() {
    if (!port_ || deviceName_.isEmpty()) return DeviceChange::None;
    const QString wanted = withoutAddress(deviceName_);
    bool present = false;
    try {
        for (unsigned i = 0; i < port_->getPortCount() && !present; ++i)
            present = withoutAddress(QString::fromStdString(port_->getPortName(i))) == wanted;
        if (present == bool(device_)) return DeviceChange::None;
        if (!present) {
            device_.reset();
            return DeviceChange::Gone;
        }
        return connectDevice() ? DeviceChange::Back : DeviceChange::None;
    } catch (const RtMidiError&) {
        device_.reset();
        return DeviceChange::None;
    }
}

void MidiInput::close() {
    // Closing waits for the library's thread, so no callback runs into a half-gone input.
    device_.reset();
    port_.reset();
    backend_ = Backend::None;
    deviceName_.clear();
}

QStringList MidiInput::devices() const {
    QStringList names;
    if (!port_) return names;
    try {
        for (unsigned i = 0; i < port_->getPortCount(); ++i) {
            const QString name = QString::fromStdString(port_->getPortName(i));
            if (!name.startsWith(QStringLiteral("Cuevox"))) names << name;
        }
    } catch (const RtMidiError&) {
    }
    return names;
}

void MidiInput::setMapping(const MidiMapping& mapping) {
    std::lock_guard lock(mappingMutex_);
    const std::optional<MidiMapping::Kind> learning = mapping_.learning();
    mapping_ = mapping;
    if (learning) mapping_.learn(*learning);
}

void MidiInput::learn(MidiMapping::Kind kind) {
    std::lock_guard lock(mappingMutex_);
    mapping_.learn(kind);
}

void MidiInput::cancelLearn() {
    std::lock_guard lock(mappingMutex_);
    mapping_.cancelLearn();
}

void MidiInput::feed(const unsigned char* bytes, std::size_t size) {
    MidiMapping::Result result;
    {
        std::lock_guard lock(mappingMutex_);
        result = mapping_.feed(bytes, size);
    }
    if (result.learned && learned_) learned_(result.learned->first, result.learned->second);
    if (!result.problem.isEmpty()) tell_(QStringLiteral("MIDI: ") + result.problem);
    for (const RemoteCommand& command : result.commands)
        if (!deliver_(command))
            tell_(
                QStringLiteral("MIDI: a command was dropped: commands arrive faster than the "
                               "show takes them"));
}
