#!/usr/bin/python3
"""Modbus slave for tests and benchmarks (pymodbus 3.0).

  --tcp HOST:PORT            listen on TCP (PORT 0: pick a free port, printed as "port N")
  --framer socket|rtu        framing on TCP: MBAP (default) or RTU frames over the stream
  --serial DEVICE --baud N   RTU on a serial line [--parity N|E|O --stopbits 1|2]
  --set ADDR=VALUE[,...]     preload holding registers (addresses from 0)
  --slave-id HEX             report-slave-id data (the trailing run byte 0xFF is added;
                             without it the data is "Pymodbus")
  --unit N                   answer unit N only (default: every unit)
  --corrupt                  flip the last CRC byte of every RTU reply

Serves the units from one data space; prints "ready" once listening.
  holding registers 0-9999    0, or as --set says
  input registers 0-9999      register i holds i, except 100-119 as on modbus-sim:
                              100-101 12.5 as float, 102-103 -100000 as int32,
                              104-107 0x0102030405060708, 108-111 pi as double
                              (all ABCD), 112-119 "Brio modbus-sim" as ascii
  coils 0-9999                coil i starts on when i is odd
  discrete inputs 0-9999      input i is on when i is a multiple of 3
  mask write (function 22) on the holding registers
  device identification (function 43 / MEI 14), conformity 0x83: IDENTITY
  below; the extended category takes three replies (more follows at 0x80, 0x81)
"""
import argparse
import asyncio
import logging
import signal
import sys
import types

try:
    import serial_asyncio  # noqa: F401  pylint: disable=unused-import
except ImportError:
    # pymodbus' server module imports it even for TCP; the serial side below
    # runs on plain pyserial instead.
    _stub = types.ModuleType("serial_asyncio")
    _stub.create_serial_connection = None
    sys.modules["serial_asyncio"] = _stub

import serial
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.factory import ServerDecoder
from pymodbus.pdu import ExceptionResponse, ModbusExceptions
from pymodbus.server import StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

REGISTERS = 10000

# Input registers 100-119: the typed block modbus-sim has too.
TYPED_INPUTS = [0x4148, 0x0000, 0xFFFE, 0x7960, 0x0102, 0x0304, 0x0506, 0x0708,
                0x4009, 0x21FB, 0x5444, 0x2D18, 0x4272, 0x696F, 0x206D, 0x6F64,
                0x6275, 0x732D, 0x7369, 0x6D00]

IDENTITY = {
    0x00: "Brio tests",
    0x01: "pymodbus-peer",
    0x02: "1.0",
    0x03: "http://127.0.0.1/",
    0x04: "Brio pymodbus peer",
    0x05: b'Latin-1 \xe9 "q" \\ /',
    0x06: "tests",
    0x80: "0123456789" * 15,
    0x81: "abcdefghij" * 10,
}


def parse_presets(text):
    presets = {}
    if not text:
        return presets
    for item in text.split(","):
        addr, value = item.split("=", 1)
        presets[int(addr, 0)] = int(value, 0) & 0xFFFF
    return presets


def build_context(args):
    values = [0] * REGISTERS
    for addr, value in parse_presets(args.set).items():
        values[addr] = value
    inputs = [i for i in range(REGISTERS)]
    inputs[100:100 + len(TYPED_INPUTS)] = TYPED_INPUTS
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values),
                               ir=ModbusSequentialDataBlock(0, inputs),
                               co=ModbusSequentialDataBlock(0, [i % 2 for i in range(REGISTERS)]),
                               di=ModbusSequentialDataBlock(0, [int(i % 3 == 0) for i in range(REGISTERS)]),
                               zero_mode=True)
    # Without id data pymodbus would join the identity objects; keep the
    # answer it gives when it has none.
    slave.reportSlaveIdData = bytes.fromhex(args.slave_id) if args.slave_id else b"Pymodbus"
    # One control block serves both transports.
    ModbusControlBlock().Identity.update(ModbusDeviceIdentification(info=IDENTITY))
    if args.unit is None:
        return ModbusServerContext(slaves=slave, single=True)
    return ModbusServerContext(slaves={args.unit: slave}, single=False)


def corrupted(frame):
    return frame[:-1] + bytes((frame[-1] ^ 0xFF,))


class CorruptingRtuFramer(ModbusRtuFramer):
    def buildPacket(self, message):
        return corrupted(super().buildPacket(message))


async def run_tcp(args, context):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    host, port = args.tcp.rsplit(":", 1)
    framer = ModbusSocketFramer
    if args.framer == "rtu":
        framer = CorruptingRtuFramer if args.corrupt else ModbusRtuFramer
    server = await StartAsyncTcpServer(context=context, address=(host, int(port)),
                                       framer=framer, defer_start=True,
                                       allow_reuse_address=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    if int(port) == 0:
        print("port %d" % server.server.sockets[0].getsockname()[1], flush=True)
    print("ready", flush=True)
    await stop.wait()
    task.cancel()
    try:
        await server.shutdown()
    except Exception:  # pylint: disable=broad-except
        pass
    return 0


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes((crc & 0xFF, crc >> 8))


def answer_rtu(frame, context, decoder, args):
    """The reply frame to one request frame, or None."""
    if len(frame) < 4 or crc16(frame[:-2]) != frame[-2:]:
        return None
    unit = frame[0]
    if args.unit is not None and unit != args.unit:
        return None
    pdu = frame[1:-2]
    try:
        request = decoder.decode(pdu)
    except Exception:  # pylint: disable=broad-except
        request = None
    if request is None:
        response = ExceptionResponse(pdu[0], ModbusExceptions.IllegalFunction)
    else:
        request.unit_id = unit
        try:
            response = request.execute(context[unit])
        except Exception:  # pylint: disable=broad-except
            response = ExceptionResponse(request.function_code, ModbusExceptions.SlaveFailure)
    if unit == 0:
        return None
    body = bytes((unit, response.function_code)) + response.encode()
    reply = body + crc16(body)
    return corrupted(reply) if args.corrupt else reply


def run_serial(args, context):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        line = serial.Serial(args.serial, baudrate=args.baud, bytesize=8, parity=args.parity,
                             stopbits=args.stopbits, timeout=None)
    except serial.SerialException as exc:
        print("cannot open %s: %s" % (args.serial, exc), file=sys.stderr, flush=True)
        return 1
    decoder = ServerDecoder()
    print("ready", flush=True)
    # A frame ends with a pause on the line.
    gap = max(0.01, 40.0 / args.baud)
    while True:
        line.timeout = None
        frame = line.read(1)
        line.timeout = gap
        while True:
            chunk = line.read(256)
            if not chunk:
                break
            frame += chunk
        reply = answer_rtu(frame, context, decoder, args)
        if reply:
            line.write(reply)
            line.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp")
    where.add_argument("--serial")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", choices="NEO", default="N")
    parser.add_argument("--stopbits", type=int, choices=(1, 2), default=1)
    parser.add_argument("--set", default="")
    parser.add_argument("--slave-id", default="")
    parser.add_argument("--framer", choices=("socket", "rtu"), default="socket")
    parser.add_argument("--unit", type=int)
    parser.add_argument("--corrupt", action="store_true")
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)
    context = build_context(args)
    if args.tcp:
        sys.exit(asyncio.run(run_tcp(args, context)))
    sys.exit(run_serial(args, context))


if __name__ == "__main__":
    main()
