// modbus-sim: a small Modbus TCP slave for trying the gateway without a device.
//
//   16-bit holding registers 0-4999 (functions 3, 6, 16, 22, 23), preloaded with
//     0     seconds counter          1     1234
//     2-3   12.5 as float4321        4-5   3.14159 as float1234
//     6-7   -100000 as 32-bit int    8     0xFFFF (-1 as int)
//   32-bit registers 5000-5999 (functions 3 and 16, 4 bytes per register on
//   the wire, big-endian), preloaded with
//     5000  seconds counter          5001  12.5 as float4321
//     5002  123456789                5003  0xFFFFFFFF (-1 as int)
//     5004  3.14159 as float1234 (the gateway swaps halves for it)
//   input registers 0-999 (function 4): register i holds i, except
//     100-101  12.5 as float, ABCD              102-103  -100000 as int32, ABCD
//     104-107  0x0102030405060708 as int64, ABCD
//     108-111  3.141592653589793 as double, ABCD
//     112-119  "Brio modbus-sim" as ascii, high byte first, NUL-padded
//   coils 0-999 (functions 1, 5, 15): coil i starts on when i is odd.
//   discrete inputs 0-999 (function 2): input i is on when i is a multiple of 3.
//   report slave id (function 17): id 0x42, run indicator 0xFF, "Brio modbus-sim".
//   read device identification (function 43 / MEI 14), conformity level 0x82
//   (regular, stream and single-object access):
//     0x00 VendorName "Brio"            0x01 ProductCode "modbus-sim"
//     0x02 MajorMinorRevision, the program version
//     0x04 ProductName "Brio modbus-sim"  0x05 ModelName "Modbus TCP demo slave"
//   --discovery-port N: also answers the gateway's one-byte "D" search datagram
//   on UDP port N of --host, so that "Search devices" finds this slave.

#include <modbus.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kHoldingCount = 5000;
constexpr int kTableCount = 1000; // coils, discrete inputs, input registers
constexpr int kWideStart = 5000;
constexpr int kWideCount = 1000;
// Largest 32-bit runs that fit a 260-byte TCP frame.
constexpr int kMaxWideRead = 62;
constexpr int kMaxWideWrite = 61;
constexpr uint8_t kSlaveIdByte = 0x42;
constexpr char kSlaveText[] = "Brio modbus-sim";
constexpr size_t kMbapLength = 7;
// A PDU may carry at most 253 bytes; a device identification reply
// spends 7 of them on its header.
constexpr size_t kMaxPdu = 253;
constexpr uint8_t kConformity = 0x82;

struct DeviceObject
{
    uint8_t id;
    const char *value;
};

const DeviceObject deviceObjects[] = {
        {0x00, "Brio"},
        {0x01, "modbus-sim"},
        {0x02, BRIO_VERSION},
        {0x04, "Brio modbus-sim"},
        {0x05, "Modbus TCP demo slave"},
};

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

struct Client
{
    int fd = -1;
    std::vector<uint8_t> pending;
};

struct Options
{
    std::string host = "127.0.0.1";
    std::string port = "1502";
    std::string discoveryPort; // empty: no discovery answers
    bool quiet = false;
};

void usage(FILE *out)
{
    std::fprintf(out, "usage: modbus-sim [--host 127.0.0.1] [--port 1502] [--discovery-port N] [--quiet]\n");
}

bool isPortNumber(const std::string &text)
{
    char *end = nullptr;
    const long port = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && port >= 0 && port <= 65535;
}

bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--host" || arg == "--port") && i + 1 < argc) {
            (arg == "--host" ? options.host : options.port) = argv[++i];
        } else if (arg == "--discovery-port" && i + 1 < argc) {
            options.discoveryPort = argv[++i];
            if (!isPortNumber(options.discoveryPort))
                return false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else {
            return false;
        }
    }
    return isPortNumber(options.port);
}

// A socket bound to host:port (port 0: any free one); where gets the address.
int openSocket(const std::string &host, const std::string &portText, int type, std::string &where,
               std::string &boundPort)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), portText.c_str(), &hints, &found);
    if (rc != 0) {
        std::fprintf(stderr, "modbus-sim: %s: %s\n", host.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        // Only for TCP: on UDP it would let a second program share the port.
        const int yes = 1;
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || (type == SOCK_STREAM && listen(fd, 16) != 0)) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        std::fprintf(stderr, "modbus-sim: cannot listen on %s:%s: %s\n", host.c_str(), portText.c_str(),
                     std::strerror(errno));
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    char name[NI_MAXHOST] = "";
    char port[NI_MAXSERV] = "";
    getnameinfo(reinterpret_cast<sockaddr *>(&bound), len, name, sizeof name, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    where = std::string(name) + ":" + port;
    boundPort = port;
    return fd;
}

// The search reply: name, MAC, TCP port and unit id, each line ending in
// CR LF, as devices on the segment answer. The MAC is a locally
// administered one made of the port, so that two sims stay two devices.
std::string discoveryReply(const std::string &tcpPort)
{
    const unsigned port = unsigned(std::strtoul(tcpPort.c_str(), nullptr, 10));
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", (port >> 8) & 0xFF, port & 0xFF);
    return std::string(kSlaveText) + "\r\n" + mac + "\r\n" + tcpPort + "\r\n1\r\n";
}

void answerDiscovery(int fd, const std::string &reply)
{
    uint8_t datagram[64];
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
            recvfrom(fd, datagram, sizeof datagram, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n == 1 && datagram[0] == 'D')
        sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), fromLength);
}

bool sendAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

uint32_t floatBits(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

class Slave
{
public:
    bool init()
    {
        ctx = modbus_new_tcp("127.0.0.1", 0); // framing only; sockets are our own
        mapping = modbus_mapping_new(kTableCount, kTableCount, kHoldingCount, kTableCount);
        if (!ctx || !mapping)
            return false;
        fillTables();
        wide.assign(kWideCount, 0);
        uint16_t *h = mapping->tab_registers;
        h[1] = 1234;
        const uint32_t f125 = floatBits(12.5f);
        h[2] = uint16_t(f125 >> 16);
        h[3] = uint16_t(f125);
        const uint32_t pi = floatBits(3.14159f);
        h[4] = uint16_t(pi);
        h[5] = uint16_t(pi >> 16);
        const uint32_t minus = uint32_t(-100000);
        h[6] = uint16_t(minus);
        h[7] = uint16_t(minus >> 16);
        h[8] = 0xFFFF;
        wide[1] = f125;
        wide[2] = 123456789;
        wide[3] = 0xFFFFFFFF;
        wide[4] = (pi << 16) | (pi >> 16);
        return true;
    }

    ~Slave()
    {
        if (mapping)
            modbus_mapping_free(mapping);
        if (ctx)
            modbus_free(ctx);
    }

    void tick(unsigned seconds)
    {
        mapping->tab_registers[0] = uint16_t(mapping->tab_registers[0] + seconds);
        wide[0] += seconds;
    }

    // One complete frame; false when the connection should be dropped.
    bool serve(int fd, const uint8_t *frame, size_t size)
    {
        const uint8_t *pdu = frame + kMbapLength;
        const size_t pduSize = size - kMbapLength;
        const uint8_t function = pdu[0];
        if (function == 0x11)
            return reportSlaveId(fd, frame);
        if (function == 0x2B)
            return deviceIdentification(fd, frame, pdu, pduSize);
        if ((function == 0x03 || function == 0x10) && pduSize >= 5 && word(pdu + 1) >= kWideStart)
            return function == 0x03 ? readWide(fd, frame, pdu, pduSize) : writeWide(fd, frame, pdu, pduSize);
        // modbus_reply trusts the frame to be as long as its function needs.
        if (!lengthFits(pdu, pduSize))
            return exception(fd, frame, function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        uint8_t copy[MODBUS_TCP_MAX_ADU_LENGTH] = {};
        std::memcpy(copy, frame, size);
        modbus_set_socket(ctx, fd);
        return modbus_reply(ctx, copy, int(size), mapping) >= 0;
    }

private:
    modbus_t *ctx = nullptr;
    modbus_mapping_t *mapping = nullptr;
    std::vector<uint32_t> wide;

    static int word(const uint8_t *p) { return (p[0] << 8) | p[1]; }

    void fillTables()
    {
        for (int i = 0; i < kTableCount; ++i) {
            mapping->tab_input_registers[i] = uint16_t(i);
            mapping->tab_bits[i] = i % 2 == 1;
            mapping->tab_input_bits[i] = i % 3 == 0;
        }
        uint16_t *in = mapping->tab_input_registers;
        const uint32_t f125 = floatBits(12.5f);
        in[100] = uint16_t(f125 >> 16);
        in[101] = uint16_t(f125);
        const uint32_t minus = uint32_t(-100000);
        in[102] = uint16_t(minus >> 16);
        in[103] = uint16_t(minus);
        putWords(in + 104, 0x0102030405060708u);
        double pi = 3.141592653589793;
        uint64_t piBits;
        std::memcpy(&piBits, &pi, sizeof piBits);
        putWords(in + 108, piBits);
        const char text[16] = "Brio modbus-sim";
        for (int i = 0; i < 8; ++i)
            in[112 + i] = uint16_t((uint8_t(text[2 * i]) << 8) | uint8_t(text[2 * i + 1]));
    }

    static void putWords(uint16_t *to, uint64_t bits)
    {
        for (int i = 3; i >= 0; --i, bits >>= 16)
            to[i] = uint16_t(bits);
    }

    // Stream access (codes 1 to 3) answers every object of the category
    // from the one asked for, as many as fit, and says where to go on; an
    // object it does not know restarts at the first. A category above the
    // conformity level is answered at that level. Code 4 reads one object.
    bool deviceIdentification(int fd, const uint8_t *request, const uint8_t *pdu, size_t pduSize)
    {
        if (pduSize < 2 || pdu[1] != 0x0E)
            return exception(fd, request, 0x2B, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        if (pduSize != 4 || pdu[2] < 1 || pdu[2] > 4)
            return exception(fd, request, 0x2B, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        const uint8_t code = pdu[2];
        const uint8_t wanted = pdu[3];
        const uint8_t last = code == 1 ? 0x02 : 0x7F; // regular is the highest category served
        const auto known = [&](uint8_t id, uint8_t upTo) {
            for (const DeviceObject &o : deviceObjects) {
                if (o.id == id && id <= upTo)
                    return true;
            }
            return false;
        };
        std::vector<uint8_t> out{0x2B, 0x0E, code, kConformity, 0x00, 0x00, 0x00};
        const auto add = [&](const DeviceObject &o) {
            const size_t length = std::strlen(o.value);
            if (out.size() + 2 + length > kMaxPdu)
                return false;
            out.push_back(o.id);
            out.push_back(uint8_t(length));
            out.insert(out.end(), o.value, o.value + length);
            ++out[6];
            return true;
        };
        if (code == 4) {
            if (!known(wanted, 0x7F))
                return exception(fd, request, 0x2B, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
            for (const DeviceObject &o : deviceObjects) {
                if (o.id == wanted)
                    add(o);
            }
            return answer(fd, request, out);
        }
        const uint8_t first = known(wanted, last) ? wanted : 0x00;
        for (const DeviceObject &o : deviceObjects) {
            if (o.id < first || o.id > last)
                continue;
            if (!add(o)) {
                out[4] = 0xFF;
                out[5] = o.id;
                break;
            }
        }
        return answer(fd, request, out);
    }

    static bool answer(int fd, const uint8_t *request, const std::vector<uint8_t> &pdu)
    {
        std::vector<uint8_t> out(request, request + 4); // transaction and protocol ids
        const size_t length = pdu.size() + 1;
        out.push_back(uint8_t(length >> 8));
        out.push_back(uint8_t(length));
        out.push_back(request[6]);
        out.insert(out.end(), pdu.begin(), pdu.end());
        return sendAll(fd, out.data(), out.size());
    }

    static bool exception(int fd, const uint8_t *request, uint8_t function, uint8_t code)
    {
        return answer(fd, request, {uint8_t(function | 0x80), code});
    }

    static bool lengthFits(const uint8_t *pdu, size_t pduSize)
    {
        switch (pdu[0]) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06: return pduSize == 5;
        case 0x0F:
        case 0x10: return pduSize >= 6 && pduSize == size_t(6 + pdu[5]);
        case 0x16: return pduSize == 7;
        case 0x17: return pduSize >= 10 && pduSize == size_t(10 + pdu[9]);
        default: return true; // answered "illegal function" without looking further
        }
    }

    static bool inWideArea(int addr, int count)
    {
        return addr >= kWideStart && addr + count <= kWideStart + kWideCount;
    }

    bool reportSlaveId(int fd, const uint8_t *request)
    {
        std::vector<uint8_t> pdu{0x11, 0, kSlaveIdByte, 0xFF};
        pdu.insert(pdu.end(), kSlaveText, kSlaveText + sizeof kSlaveText - 1);
        pdu[1] = uint8_t(pdu.size() - 2);
        return answer(fd, request, pdu);
    }

    bool readWide(int fd, const uint8_t *request, const uint8_t *pdu, size_t pduSize)
    {
        const int addr = word(pdu + 1);
        const int count = pduSize == 5 ? word(pdu + 3) : 0;
        if (count < 1 || count > kMaxWideRead)
            return exception(fd, request, 0x03, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        if (!inWideArea(addr, count))
            return exception(fd, request, 0x03, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        std::vector<uint8_t> out{0x03, uint8_t(4 * count)};
        for (int i = 0; i < count; ++i) {
            const uint32_t v = wide[size_t(addr - kWideStart + i)];
            out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
        }
        return answer(fd, request, out);
    }

    bool writeWide(int fd, const uint8_t *request, const uint8_t *pdu, size_t pduSize)
    {
        const int addr = word(pdu + 1);
        const int count = word(pdu + 3);
        if (count < 1 || count > kMaxWideWrite || pduSize < 6 || pdu[5] != 4 * count
            || pduSize != size_t(6 + 4 * count))
            return exception(fd, request, 0x10, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        if (!inWideArea(addr, count))
            return exception(fd, request, 0x10, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        for (int i = 0; i < count; ++i) {
            const uint8_t *b = pdu + 6 + 4 * i;
            wide[size_t(addr - kWideStart + i)] =
                    (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
        }
        return answer(fd, request, {0x10, pdu[1], pdu[2], pdu[3], pdu[4]});
    }
};

// Serves every complete frame in the client's buffer; false drops the client.
bool drain(Slave &slave, Client &client)
{
    std::vector<uint8_t> &buf = client.pending;
    size_t used = 0;
    while (buf.size() - used >= kMbapLength) {
        const uint8_t *frame = buf.data() + used;
        const size_t length = (size_t(frame[4]) << 8) | frame[5];
        if (frame[2] != 0 || frame[3] != 0 || length < 2 || length > MODBUS_TCP_MAX_ADU_LENGTH - 6)
            return false;
        const size_t size = 6 + length;
        if (buf.size() - used < size)
            break;
        if (!slave.serve(client.fd, frame, size))
            return false;
        used += size;
    }
    buf.erase(buf.begin(), buf.begin() + long(used));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr);
        return 2;
    }

    struct sigaction action
    {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Slave slave;
    if (!slave.init()) {
        std::fprintf(stderr, "modbus-sim: %s\n", modbus_strerror(errno));
        return 1;
    }
    std::string where;
    std::string tcpPort;
    const int listener = openSocket(options.host, options.port, SOCK_STREAM, where, tcpPort);
    if (listener < 0)
        return 1;
    int discovery = -1;
    std::string reply;
    if (!options.discoveryPort.empty()) {
        std::string udpWhere;
        std::string udpPort;
        discovery = openSocket(options.host, options.discoveryPort, SOCK_DGRAM, udpWhere, udpPort);
        if (discovery < 0) {
            close(listener);
            return 1;
        }
        reply = discoveryReply(tcpPort);
        std::printf("modbus-sim discovery on %s\n", udpWhere.c_str());
    }
    std::printf("modbus-sim listening on %s\n", where.c_str());
    std::fflush(stdout);

    std::vector<Client> clients;
    const auto started = std::chrono::steady_clock::now();
    unsigned counted = 0;
    while (!stopRequested) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}, {discovery, POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), 200);
        if (ready < 0 && errno != EINTR)
            break;

        const auto elapsed =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
        if (unsigned(elapsed) > counted) {
            slave.tick(unsigned(elapsed) - counted);
            counted = unsigned(elapsed);
        }
        if (ready <= 0)
            continue;

        std::vector<Client> kept;
        for (size_t i = 2; i < fds.size(); ++i) {
            Client &c = clients[i - 2];
            bool keep = true;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t chunk[1024];
                const ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
                if (n > 0) {
                    c.pending.insert(c.pending.end(), chunk, chunk + n);
                    keep = drain(slave, c);
                } else if (n == 0 || errno != EINTR) {
                    keep = false;
                }
            }
            if (keep) {
                kept.push_back(std::move(c));
            } else {
                close(c.fd);
                if (!options.quiet)
                    std::printf("client %d closed\n", c.fd);
            }
        }
        clients.swap(kept);

        if (fds[1].revents & POLLIN)
            answerDiscovery(discovery, reply);
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients.push_back({fd, {}});
                if (!options.quiet)
                    std::printf("client %d connected\n", fd);
            }
        }
        if (!options.quiet)
            std::fflush(stdout);
    }

    for (const Client &c : clients)
        close(c.fd);
    close(listener);
    if (discovery >= 0)
        close(discovery);
    if (!options.quiet)
        std::printf("modbus-sim stopped\n");
    return 0;
}
