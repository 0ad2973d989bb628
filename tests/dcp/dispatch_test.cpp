#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "dcp/dispatch.h"
#include "device_fixture.h"

using namespace dcptest;

namespace {

struct HandleCounts {
    int opened = 0;
    int closed = 0;
    int released = 0;
};

// Passes every call through and counts what happens to the handles.
class TrackedDisk : public io::Disk {
public:
    TrackedDisk(std::unique_ptr<io::Disk> inner, HandleCounts& counts)
        : inner_(std::move(inner)), counts_(counts) {
        ++counts_.opened;
    }
    ~TrackedDisk() override { ++counts_.released; }
    int close() override {
        ++counts_.closed;
        return inner_->close();
    }
    int blockSize(uint32_t* out) override { return inner_->blockSize(out); }
    int sizeBytes(uint64_t* out) override { return inner_->sizeBytes(out); }
    int scsi(sg_io_hdr_t* request) override { return inner_->scsi(request); }
    int readAt(void* b, size_t n, uint64_t at, size_t* done) override {
        return inner_->readAt(b, n, at, done);
    }
    int writeAt(const void* b, size_t n, uint64_t at, size_t* done) override {
        return inner_->writeAt(b, n, at, done);
    }
    int flush() override { return inner_->flush(); }
    std::string path() const override { return inner_->path(); }

private:
    std::unique_ptr<io::Disk> inner_;
    HandleCounts& counts_;
};

class TrackingPlatform : public io::Platform {
public:
    explicit TrackingPlatform(std::shared_ptr<sim::EmulatedPlatform> inner)
        : inner_(std::move(inner)) {}
    std::unique_ptr<io::Disk> openDisk(unsigned n, int* err) override {
        ++attempts;
        return track(inner_->openDisk(n, err));
    }
    std::unique_ptr<io::Disk> openPath(const std::string& path, int* err) override {
        ++attempts;
        return track(inner_->openPath(path, err));
    }
    std::string diskPath(unsigned n) const override { return inner_->diskPath(n); }

    int attempts = 0;
    HandleCounts counts;

private:
    std::unique_ptr<io::Disk> track(std::unique_ptr<io::Disk> d) {
        return d ? std::make_unique<TrackedDisk>(std::move(d), counts) : nullptr;
    }
    std::shared_ptr<sim::EmulatedPlatform> inner_;
};

class UnknownRequest : public dcp::DcpRequest {
public:
    UnknownRequest() : DcpRequest(7) {}
};

class Dispatch : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        handle.reset();
        io::setPlatform(tracking);
        Payload info{};
        putText(info, 10, "Corvane");
        device->answers[dcp::SubGetInfo] = info;
        for (uint8_t sub : {dcp::SubGetDriveInfo, dcp::SubGetProgress, dcp::SubInitConfiguration,
                            dcp::SubRebuild, dcp::SubGetStatusText}) {
            Payload p{};
            p[0] = sub == dcp::SubGetStatusText ? 0 : 1;
            device->answers[sub] = p;
        }
    }

    // Every request kind, valid.
    static std::vector<std::unique_ptr<dcp::DcpRequest>> everyRequest() {
        std::vector<std::unique_ptr<dcp::DcpRequest>> all;
        all.push_back(std::make_unique<dcp::DcpReqGetInfo>());
        all.push_back(std::make_unique<dcp::DcpReqGetDriveInfo>(2));
        all.push_back(std::make_unique<dcp::DcpReqGetStatusText>());
        all.push_back(std::make_unique<dcp::DcpReqGetProgress>());
        all.push_back(std::make_unique<dcp::DcpReqInitConfiguration>(1, 2));
        all.push_back(std::make_unique<dcp::DcpReqRebuild>());
        return all;
    }

    drl::DrlResult dispatch(const dcp::DcpRequest& request,
                            std::unique_ptr<dcp::DcpResponse>* out = nullptr,
                            unsigned diskNumber = kDisk) {
        dcp::DcpResponse* raw = nullptr;
        const drl::DrlResult r = dcp::dispatchRequest(diskNumber, request, 0x0BADF00D, &raw);
        EXPECT_EQ(r == drl::Ok, raw != nullptr) << "a record exactly when Ok";
        std::unique_ptr<dcp::DcpResponse> owned(raw);
        if (out) {
            *out = std::move(owned);
        }
        return r;
    }

    void expectAllClosed() {
        EXPECT_EQ(tracking->counts.opened, tracking->counts.closed);
        EXPECT_EQ(tracking->counts.opened, tracking->counts.released);
    }

    std::shared_ptr<TrackingPlatform> tracking = std::make_shared<TrackingPlatform>(platform);
};

INSTANTIATE_TEST_SUITE_P(Transports, Dispatch,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Bool()),
                         transportName);

TEST_P(Dispatch, EachTypeReachesItsDecoderAndCloses) {
    const std::vector<RequestBytes> wire = {
        {},
        {1, 0, 0, 0, 0, 0, 0, 0},
        {2, 2, 0, 0, 0, 0, 0, 0},
        {6, 0, 0, 0, 0, 0, 0, 0},
        {3, 0, 0, 0, 0, 0, 0, 0},
        {4, 0x0D, 0xF0, 0xAD, 0x0B, 1, 0, 0},  // the key the registry holds travels along
        {5, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& request : everyRequest()) {
        device->requests.clear();
        std::unique_ptr<dcp::DcpResponse> response;
        ASSERT_EQ(drl::Ok, dispatch(*request, &response)) << request->type;
        EXPECT_EQ(request->type, response->type);
        ASSERT_EQ(1u, device->requests.size());
        EXPECT_EQ(wire[request->type], device->requests[0]);
    }
    EXPECT_EQ(6, tracking->counts.opened);
    expectAllClosed();
}

TEST_P(Dispatch, InfoNamesTheDiskItWasAskedFor) {
    std::unique_ptr<dcp::DcpResponse> response;
    ASSERT_EQ(drl::Ok, dispatch(dcp::DcpReqGetInfo(), &response));
    const auto* info = dynamic_cast<const dcp::DcpRespInfo*>(response.get());
    ASSERT_NE(nullptr, info);
    EXPECT_EQ("/dev/sdd", info->devicePath);
}

TEST_P(Dispatch, ClosesOnEveryFailure) {
    silence();
    for (const auto& request : everyRequest()) {
        EXPECT_EQ(drl::DeviceIoFailed, dispatch(*request)) << request->type;
    }
    expectAllClosed();
    EXPECT_EQ(6, tracking->counts.opened);

    disk->setFaultInjector(
        [](sim::DiskOp op, uint64_t) { return op == sim::DiskOp::BlockSize ? EIO : 0; });
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetProgress()));
    expectAllClosed();
    EXPECT_EQ(7, tracking->counts.opened);
}

TEST_P(Dispatch, MissingDiskIsAnIoFailure) {
    EXPECT_EQ(drl::DeviceIoFailed, dispatch(dcp::DcpReqGetInfo(), nullptr, 5));
    EXPECT_EQ(1, tracking->attempts);
    EXPECT_EQ(0, tracking->counts.opened);
}

TEST_P(Dispatch, RefusedRequestsNeverOpenTheDisk) {
    EXPECT_EQ(drl::UnsupportedRequest, dispatch(UnknownRequest()));
    EXPECT_EQ(drl::InvalidArgument, dispatch(dcp::DcpReqGetDriveInfo(4)));
    EXPECT_EQ(drl::InvalidArgument, dispatch(dcp::DcpReqInitConfiguration(2, 0)));
    // The type picks the decoder; an object of another class must not get that far.
    dcp::DcpReqGetInfo impostor;
    impostor.type = dcp::TypeInitConfiguration;
    EXPECT_EQ(drl::InvalidArgument, dispatch(impostor));
    impostor.type = 0;
    EXPECT_EQ(drl::UnsupportedRequest, dispatch(impostor));

    dcp::DcpResponse* out = nullptr;
    EXPECT_EQ(drl::InvalidArgument, dcp::dispatchRequest(kDisk, dcp::DcpReqGetInfo(), 0, nullptr));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, tracking->attempts);
    EXPECT_EQ(0u, disk->counters().total());
    EXPECT_TRUE(device->requests.empty());
}

TEST_P(Dispatch, OpenHandleStaysOpen) {
    int err = 0;
    io::UniqueDrive drive(io::openDrivePath("/dev/sdd", &err));
    ASSERT_TRUE(drive);
    dcp::DcpResponse* out = nullptr;
    ASSERT_EQ(drl::Ok, dcp::dispatchRequest(drive.get(), dcp::DiskRef::named("/dev/sdd"),
                                            dcp::DcpReqGetInfo(), 0, &out));
    std::unique_ptr<dcp::DcpResponse> response(out);
    EXPECT_EQ("/dev/sdd", static_cast<dcp::DcpRespInfo*>(out)->devicePath);
    EXPECT_EQ(0, tracking->counts.closed);

    ASSERT_EQ(drl::Ok, dcp::dispatchRequest(drive.get(), dcp::DiskRef::named("/dev/sdd"),
                                            dcp::DcpReqRebuild(), 0, &out));
    response.reset(out);
    EXPECT_EQ(dcp::TypeRebuild, out->type);
    drive.reset();
    EXPECT_EQ(1, tracking->counts.opened);
    expectAllClosed();
}

}  // namespace
