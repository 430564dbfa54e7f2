#!/usr/bin/python3
"""Modbus slave for tests and benchmarks (pymodbus 3.0).

  --tcp HOST:PORT            listen on TCP (PORT 0: pick a free port, printed as "port N")
  --framer socket|rtu        framing on TCP: MBAP (default) or RTU frames over the stream
  --serial DEVICE --baud N   RTU on a serial line [--parity N|E|O --stopbits 1|2]
  --set ADDR=VALUE[,...]     preload holding registers (addresses from 0)
  --slave-id HEX             report-slave-id data (the trailing run byte 0xFF is added)
  --unit N                   answer unit N only (default: every unit)
  --corrupt                  flip the last CRC byte of every RTU reply

Serves the units from one register space; prints "ready" once listening.
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
from pymodbus.factory import ServerDecoder
from pymodbus.pdu import ExceptionResponse, ModbusExceptions
from pymodbus.server import StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

REGISTERS = 10000


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
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    if args.slave_id:
        slave.reportSlaveIdData = bytes.fromhex(args.slave_id)
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
