#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <string>

#include "sim/emulated_disk.h"
#include "sim/profiles.h"

namespace corvane::demo {

// The emulated devices behind the demo: a platform of numbered disks that the program
// scans, and what a person does to the hardware (cables, drives, a device that stops
// answering). Install it before the storage manager starts.
class DemoRig : public QObject {
    Q_OBJECT

public:
    DemoRig();
    ~DemoRig() override;

    // The profiles the demo starts with, one of each kind the main window shows.
    static QStringList startProfiles();
    static QStringList allProfiles();

    // Plugs a new device of the profile into the lowest free disk number: the number, or
    // -1 for an unknown profile or when all 26 are taken.
    int plug(const QString& profile);
    void unplug(unsigned disk);
    QList<unsigned> disks() const;
    QString profileOf(unsigned disk) const;
    std::shared_ptr<sim::DeviceModel> model(unsigned disk) const;

    // A drive leaves its bay; a failed one stays but drops out of the set; a replacement
    // is a blank drive of the set's size, ready for a rebuild.
    void pullDrive(unsigned disk, unsigned bay);
    void failDrive(unsigned disk, unsigned bay);
    void replaceDrive(unsigned disk, unsigned bay);
    // The firmware answers nothing while set.
    void setIgnoring(unsigned disk, bool ignoring);
    bool ignoring(unsigned disk) const;
    // One line for a person: disk, profile and RAID state.
    QString describe(unsigned disk) const;

signals:
    void changed();

private:
    std::shared_ptr<sim::EmulatedPlatform> platform_;
    std::map<unsigned, sim::EmulatedDevice> devices_;
    unsigned plugged_ = 0;  // units handed out, so that serial numbers never repeat
};

}  // namespace corvane::demo
