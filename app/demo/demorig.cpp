#include "app/demo/demorig.h"

#include "io/platform.h"
#include "os/device_listener.h"
#include "sim/device_model.h"

namespace corvane::demo {

namespace {
constexpr unsigned kDisks = 26;
}

DemoRig::DemoRig() : platform_(std::make_shared<sim::EmulatedPlatform>()) {
    platform_->setChangeListener([] { os::announceDeviceChange(); });
    io::setPlatform(platform_);
}

DemoRig::~DemoRig() = default;

QStringList DemoRig::startProfiles() {
    return {QStringLiteral("healthy"), QStringLiteral("degraded"), QStringLiteral("new"),
            QStringLiteral("failing"), QStringLiteral("too-large")};
}

QStringList DemoRig::allProfiles() {
    QStringList names;
    for (const std::string& name : sim::profileNames())
        names.append(QString::fromStdString(name));
    return names;
}

int DemoRig::plug(const QString& profile) {
    unsigned disk = 0;
    while (disk < kDisks && devices_.count(disk))
        ++disk;
    if (disk == kDisks)
        return -1;
    sim::ProfileOptions options;
    options.unit = plugged_;
    std::optional<sim::EmulatedDevice> device = sim::makeProfile(profile.toStdString(), options);
    if (!device)
        return -1;
    ++plugged_;
    devices_[disk] = *device;
    platform_->plug(disk, device->disk);
    emit changed();
    return int(disk);
}

void DemoRig::unplug(unsigned disk) {
    if (!devices_.erase(disk))
        return;
    platform_->unplug(disk);
    emit changed();
}

QList<unsigned> DemoRig::disks() const {
    QList<unsigned> list;
    for (const auto& entry : devices_)
        list.append(entry.first);
    return list;
}

QString DemoRig::profileOf(unsigned disk) const {
    auto it = devices_.find(disk);
    return it == devices_.end() ? QString() : QString::fromStdString(it->second.profile);
}

std::shared_ptr<sim::DeviceModel> DemoRig::model(unsigned disk) const {
    auto it = devices_.find(disk);
    return it == devices_.end() ? nullptr : it->second.model;
}

void DemoRig::pullDrive(unsigned disk, unsigned bay) {
    if (auto m = model(disk)) {
        m->pullDrive(bay);
        emit changed();
    }
}

void DemoRig::failDrive(unsigned disk, unsigned bay) {
    auto m = model(disk);
    if (!m || bay >= sim::kBays)
        return;
    sim::Drive d = m->drive(bay);
    if (!d.present)
        return;
    d.member = sim::Member::Failed;
    d.failureWarning = true;
    m->setDrive(bay, d);
    m->note("Drive in bay " + std::to_string(bay + 1) + " failed and left the RAID set");
    emit changed();
}

void DemoRig::replaceDrive(unsigned disk, unsigned bay) {
    auto m = model(disk);
    if (!m || bay >= sim::kBays)
        return;
    const sim::Drive old = m->drive(bay);
    const uint64_t capacity = old.capacity ? old.capacity : sim::kDrive4TB;
    if (old.present)
        m->pullDrive(bay);
    sim::Drive blank = sim::makeDrive(capacity, 0xD3A0u + plugged_++, bay);
    blank.member = sim::Member::Inactive;
    blank.powerOnHours = 0;
    blank.startCount = 1;
    m->insertDrive(bay, blank);
    emit changed();
}

void DemoRig::setIgnoring(unsigned disk, bool on) {
    auto m = model(disk);
    if (!m)
        return;
    sim::ModelFaults f = m->faults();
    f.silent = on;
    m->setFaults(f);
    emit changed();
}

bool DemoRig::ignoring(unsigned disk) const {
    auto m = model(disk);
    return m && m->faults().silent;
}

QString DemoRig::describe(unsigned disk) const {
    auto m = model(disk);
    if (!m)
        return QString();
    static const char* const states[] = {
        QT_TR_NOOP("no RAID set"), QT_TR_NOOP("normal"), QT_TR_NOOP("degraded"),
        QT_TR_NOOP("rebuilding"),  QT_TR_NOOP("failed"), QT_TR_NOOP("failed (several sets)")};
    const uint8_t status = m->raidStatus();
    QString text = tr("%1: %2, %3")
                       .arg(QString::fromStdString(platform_->diskPath(disk)), profileOf(disk),
                            status < 6 ? tr(states[status]) : tr("unknown"));
    if (ignoring(disk))
        text += tr(", ignoring commands");
    return text;
}

}  // namespace corvane::demo
