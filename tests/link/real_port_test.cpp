// The ppdev and direct I/O backends over stand-in system calls.
#include "link/backends.hpp"
#include "link/fake_sys.hpp"
#include "link/link.hpp"
#include "link/test_link.hpp"

#include <memory>

#include <cerrno>
#include <gtest/gtest.h>

namespace {

using fake_sys::calls;

struct real_port : ::testing::Test {
    char reason[256] = "";
    void *self = nullptr; // the backend's instance, where a test drives it itself
    std::unique_ptr<test_link> link;
    port_fault fault;
    void SetUp() override {
        fake_sys::reset();
        fake_sys::devices["/dev/parport0"] = {};
    }
    std::string open_ppdev(const char *path) {
        reason[0] = '\0';
        self = ppdev_port.open(path, port_notes(), reason, sizeof reason);
        return self ? "" : reason;
    }
    std::string open_io(const char *address) {
        reason[0] = '\0';
        self = io_port.open(address, port_notes(), reason, sizeof reason);
        return self ? "" : reason;
    }
    // A link of its own on the backend, as the core reaches it.
    void link_on(const port_backend *backend, const char *arg) {
        link = std::make_unique<test_link>(backend, arg);
        ASSERT_TRUE(*link) << link->error.text;
    }
    uint8_t status_of(const port_backend &b) {
        uint8_t value = 0;
        EXPECT_TRUE(b.get_status(self, &value, &fault));
        return value;
    }
};

TEST_F(real_port, ppdev_claims_first_and_releases_last) {
    ASSERT_EQ(open_ppdev("/dev/parport0"), "");
    EXPECT_TRUE(ppdev_port.set_data(self, 0xAF, &fault));
    fake_sys::status = 0x40;
    EXPECT_EQ(status_of(ppdev_port), 0x40u);
    EXPECT_TRUE(ppdev_port.close(self, reason, sizeof reason));
    EXPECT_EQ(calls,
              (std::vector<std::string>{"open /dev/parport0", "fstat", "PPCLAIM", "PPWDATA AF",
                                        "PPRSTATUS 40", "PPRELEASE", "close 7"}));
}

TEST_F(real_port, ppdev_issues_one_ioctl_per_access_of_a_load_and_an_exchange) {
    link_on(&ppdev_port, "/dev/parport0");
    calls.clear();
    load_synthesizer(5, 0);
    ASSERT_EQ(calls.size(), 122u);
    EXPECT_EQ(calls[0], "PPWDATA F1");
    EXPECT_EQ(calls[1], "PPWDATA F3");
    EXPECT_EQ(calls[3], "PPWDATA F0");
    EXPECT_EQ(calls[120], "PPWDATA F4");
    EXPECT_EQ(calls[121], "PPWDATA F0");
    for (const auto &c : calls)
        EXPECT_EQ(c.rfind("PPWDATA ", 0), 0u) << c;

    calls.clear();
    fake_sys::status = 0x40; // every reply bit 1, ready at once
    EXPECT_EQ(converter_exchange(0x8710), 0xFFFFu);
    ASSERT_EQ(calls.size(), 50u + 17u);
    EXPECT_EQ(calls[0], "PPWDATA AF");
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(calls[1 + 4 * i], "PPWDATA 8F") << i;
        EXPECT_EQ(calls[4 + 4 * i], "PPRSTATUS 40") << i;
    }
    EXPECT_EQ(calls[2], "PPWDATA 9F");
    EXPECT_EQ(calls[3], "PPWDATA BF");
    EXPECT_EQ(calls[65], "PPWDATA EF");
    EXPECT_EQ(calls[66], "PPRSTATUS 40");
}

TEST_F(real_port, ppdev_failures_name_the_reason_and_the_remedy) {
    EXPECT_EQ(open_ppdev("/dev/parport9"),
              "No such file or directory; is the ppdev module loaded? modprobe ppdev");
    fake_sys::devices["/dev/parport1"].open_errno = EACCES;
    EXPECT_EQ(open_ppdev("/dev/parport1"), "Permission denied; add your user to the lp group");
    fake_sys::devices["/dev/parport2"].claim_errno = EBUSY;
    EXPECT_EQ(open_ppdev("/dev/parport2"),
              "Device or resource busy; another program holds the port");
    fake_sys::devices["/dev/parport3"].open_errno = ENXIO;
    EXPECT_EQ(open_ppdev("/dev/parport3"),
              "No such device or address; no parallel port behind this device");
    fake_sys::devices["/tmp/r.txt"].regular = true;
    EXPECT_EQ(open_ppdev("/tmp/r.txt"), "not a device file; not a parallel port");
    EXPECT_EQ(calls.back(), "close 7") << "what was opened is closed again";
    fake_sys::devices["/dev/null"].claim_errno = ENOTTY;
    EXPECT_EQ(open_ppdev("/dev/null"), "Inappropriate ioctl for device; not a parallel port");
    // A device opened but not claimed is closed again, never released.
    for (const auto &c : calls)
        EXPECT_NE(c, "PPRELEASE");
    EXPECT_EQ(calls.back(), "close 7");
}

TEST_F(real_port, a_port_lost_mid_sweep_ends_the_run) {
    fake_sys::devices["/dev/parport0"].access_errno = EIO;
    link_on(&ppdev_port, "/dev/parport0");
    write_data(0xF0);
    ASSERT_NE(link_failure(), nullptr);
    EXPECT_EQ(link_failure()->status, 4);
    EXPECT_STREQ(link_failure()->text, "Lost port /dev/parport0: Input/output error");
    // The device is let go at once, and nothing more is tried on it.
    EXPECT_EQ(calls.back(), "close 7");
    size_t before = calls.size();
    write_data(0xFF);
    (void)read_status();
    EXPECT_EQ(calls.size(), before);
}

TEST_F(real_port, direct_io_reaches_the_data_and_status_registers) {
    ASSERT_EQ(open_io("0x278"), "");
    EXPECT_TRUE(io_port.set_data(self, 0xF1, &fault));
    fake_sys::status = 0x80;
    EXPECT_EQ(status_of(io_port), 0x80u);
    EXPECT_TRUE(io_port.close(self, reason, sizeof reason));
    EXPECT_EQ(calls, (std::vector<std::string>{"ioperm 278 2 1", "outb F1 278", "inb 279 80",
                                               "ioperm 278 2 0"}));
    calls.clear();
    ASSERT_EQ(open_io("888"), "");
    EXPECT_EQ(calls[0], "ioperm 378 2 1");
    EXPECT_TRUE(io_port.close(self, reason, sizeof reason));
    // A card above ioperm's reach, as PCIe ports are.
    calls.clear();
    ASSERT_EQ(open_io("0x3010"), "");
    EXPECT_TRUE(io_port.set_data(self, 0xFF, &fault));
    EXPECT_TRUE(io_port.close(self, reason, sizeof reason));
    EXPECT_EQ(calls, (std::vector<std::string>{"iopl 3", "outb FF 3010", "iopl 0"}));
}

TEST_F(real_port, direct_io_refusals) {
    for (const char *bad : {"", "0x", "-1", "0x10000", "378h", " 888"})
        EXPECT_EQ(open_io(bad), "not a port address (use e.g. 0x378 or 888)") << bad;
    // The DMA and keyboard controllers are never touched.
    EXPECT_EQ(open_io("0"), "0 is a system address, not a parallel port");
    EXPECT_EQ(open_io("0x64"), "0x64 is a system address, not a parallel port");
    EXPECT_EQ(open_io("255"), "255 is a system address, not a parallel port");
    EXPECT_EQ(calls.size(), 0u);
    fake_sys::ioperm_errno = EPERM;
    EXPECT_EQ(open_io("0x378"), "Operation not permitted; needs root or CAP_SYS_RAWIO; kernel "
                                "lockdown forbids it (use ppdev)");
    fake_sys::ioperm_errno = ENOSYS;
    EXPECT_EQ(open_io("0x378"),
              "Function not implemented; this kernel has no port I/O (use ppdev)");
}

} // namespace
