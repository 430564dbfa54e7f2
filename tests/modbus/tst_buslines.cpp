#include <QtTest>
#include <atomic>
#include <thread>

#include "busbackend.h"
#include "buslines.h"

// Masters sharing one line through their bus backends, over a library
// stand-in whose every transfer takes a while.

namespace {

const int interactiveAddress = 999;

class SlowLibrary : public ModbusBackend
{
public:
    QList<QextPortInfo> getPorts() override { return {}; }
    ModbusHandle modbus_new_rtu(const char *, int baud, char, int, int) override
    {
        ++opened;
        lastBaud = baud;
        return new int(0);
    }
    ModbusHandle modbus_new_tcp(const char *, int) override { return new int(0); }
    int modbus_connect(ModbusHandle) override { return 0; }
    void modbus_close(ModbusHandle) override {}
    void modbus_free(ModbusHandle ctx) override
    {
        ++freed;
        delete static_cast<int *>(ctx);
    }
    int modbus_set_slave(ModbusHandle ctx, int slave) override
    {
        *static_cast<int *>(ctx) = slave;
        return 0;
    }
    void modbus_get_timeout_begin(ModbusHandle, ModbusTimeValue *) override {}
    void modbus_set_timeout_begin(ModbusHandle, const ModbusTimeValue *) override {}
    int modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override
    {
        // Transfers on one line never overlap.
        if (busy.exchange(true))
            overlaps++;
        if (addr == interactiveAddress)
            pollsBeforeInteractive = polls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        dest[0] = quint16(*static_cast<int *>(ctx));
        if (addr != interactiveAddress)
            ++polls;
        busy = false;
        return nb;
    }
    int modbus_read_registers_32(ModbusHandle, int, int, uint16_t *) override { return -1; }
    int modbus_write_registers(ModbusHandle, int, int, const uint16_t *) override { return -1; }
    int modbus_write_registers_32(ModbusHandle, int, int, const uint32_t *) override { return -1; }
    int modbus_report_slave_id(ModbusHandle, uint8_t *) override { return -1; }
    QString modbus_strerror(int) override { return QString(); }
    int lastError() const override { return 0; }
    int modbus_read_bits(ModbusHandle, int, int, uint8_t *) override { return -1; }
    int modbus_read_input_bits(ModbusHandle, int, int, uint8_t *) override { return -1; }
    int modbus_read_input_registers(ModbusHandle, int, int, uint16_t *) override { return -1; }
    int modbus_read_input_registers_32(ModbusHandle, int, int, uint16_t *) override { return -1; }
    int modbus_write_bit(ModbusHandle, int, int) override { return -1; }
    int modbus_write_bits(ModbusHandle, int, int, const uint8_t *) override { return -1; }
    int modbus_write_register(ModbusHandle, int, uint16_t) override { return -1; }
    int modbus_mask_write_register(ModbusHandle, int, uint16_t, uint16_t) override { return -1; }
    int modbus_read_device_id(ModbusHandle, int, int, uint8_t *) override { return -1; }

    std::atomic<int> opened{0};
    std::atomic<int> freed{0};
    std::atomic<int> lastBaud{0};
    std::atomic<int> polls{0};
    std::atomic<int> pollsBeforeInteractive{-1};
    std::atomic<int> overlaps{0};
    std::atomic<bool> busy{false};
};

ModbusHandle open(BusBackend &backend, bool serial, int baud = 9600)
{
    ModbusHandle ctx = serial ? backend.modbus_new_rtu("/dev/ttyTEST", baud, 'N', 8, 1)
                              : backend.modbus_new_tcp("127.0.0.1", 1502);
    if (ctx && backend.modbus_connect(ctx) < 0) {
        backend.modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

class TestBusLines : public QObject
{
    Q_OBJECT

private slots:
    void interactiveCallIsNotStarved_data();
    void interactiveCallIsNotStarved();
    void serialMastersShareOneContext();
};

void TestBusLines::interactiveCallIsNotStarved_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("tcp host and port") << false;
    QTest::newRow("serial port") << true;
}

// A poller that asks for the line again the moment it lets go would win
// every time against a plain mutex; in turn, the call waits for the one
// poll transfer under way.
void TestBusLines::interactiveCallIsNotStarved()
{
    QFETCH(bool, serial);
    SlowLibrary library;
    BusLines lines;
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        BusBackend backend(lines, &library);
        ModbusHandle ctx = open(backend, serial);
        backend.modbus_set_slave(ctx, 1);
        uint16_t word = 0;
        while (!stop)
            backend.modbus_read_registers(ctx, 0, 1, &word);
        backend.modbus_free(ctx);
    });

    BusBackend interactive(lines, &library);
    ModbusHandle ctx = open(interactive, serial);
    QVERIFY(ctx);
    QCOMPARE(interactive.modbus_set_slave(ctx, 7), 0);
    QTRY_VERIFY(library.polls >= 5);
    for (int call = 0; call < 20; ++call) {
        const int before = library.polls;
        uint16_t word = 0;
        QCOMPARE(interactive.modbus_read_registers(ctx, interactiveAddress, 1, &word), 1);
        QCOMPARE(word, quint16(7)); // its own unit, whatever the poller set
        QVERIFY2(library.pollsBeforeInteractive - before <= 1,
                 qPrintable(QString::number(library.pollsBeforeInteractive - before) + " poll transfers went first"));
    }
    stop = true;
    poller.join();
    interactive.modbus_free(ctx);
    QCOMPARE(library.overlaps.load(), 0);
}

void TestBusLines::serialMastersShareOneContext()
{
    SlowLibrary library;
    BusLines lines;
    BusBackend first(lines, &library);
    BusBackend second(lines, &library);
    ModbusHandle a = open(first, true);
    ModbusHandle b = open(second, true);
    QCOMPARE(library.opened.load(), 1);
    // Other line settings reopen the port for that master's transfer only.
    ModbusHandle c = open(second, true, 19200);
    QCOMPARE(second.modbus_set_slave(c, 3), 0);
    uint16_t word = 0;
    QCOMPARE(second.modbus_read_registers(c, 0, 1, &word), 1);
    QCOMPARE(library.lastBaud.load(), 19200);
    QCOMPARE(first.modbus_set_slave(a, 2), 0);
    QCOMPARE(first.modbus_read_registers(a, 0, 1, &word), 1);
    QCOMPARE(library.lastBaud.load(), 9600);
    QCOMPARE(word, quint16(2));
    // Units a serial line cannot carry are refused before the bus.
    QCOMPARE(first.modbus_set_slave(a, 248), -1);
    second.modbus_free(c);
    second.modbus_free(b);
    QCOMPARE(library.freed.load(), 2); // the 9600 context set aside for the 19200 one
    first.modbus_free(a);
    QCOMPARE(library.freed.load(), library.opened.load());
}

QTEST_MAIN(TestBusLines)
#include "tst_buslines.moc"
