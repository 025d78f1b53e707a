#pragma once

namespace kestravo::tool {

inline constexpr const char* kUsage = R"USAGE(Usage:
  kestravo-record encode -o OUT.sbd [--base FILE.sbd] [--raw] FIELD=VALUE ...
  kestravo-record decode FILE.sbd [--json]
  kestravo-record send --imei IMEI [--relay HOST[:PORT]] [--from ADDR] [--to ADDR]
                       [--timeout SECONDS] FILE.sbd
  kestravo-record --help    (also "-h", and after a subcommand)

encode  Builds a 44-byte configuration record and writes it to OUT.sbd. The file is
        replaced only once the whole record is written; on any refusal nothing is written.
        FIELD is a record field name (Password, SendInterval, In1ShortEvent, GeofenceEnabled,
        StabilityPoints, ... as "decode" lists them). VALUE is read as the window reads a
        setting: decimal, or hexadecimal after "$", "x", "X", "0x" or "0X", with an optional
        sign. Lists take the item index, boxes 0 or 1. Each field may be given once.
        Fields not given take the window's initial values: every number 0 (Password too)
        except StabilityPoints 5, every list at item 0, every box clear.
  -o, --output OUT.sbd
        The record file to write.
  --base FILE.sbd
        Start from an existing record, as opening it in the window would: its bits that no
        setting covers pass into the new record, and the fields not given keep the values
        stored in FILE.sbd exactly (no window correction is applied to them). FILE.sbd must
        hold at least 44 bytes; bytes after them are ignored.
  --raw Store every value as the window would store it, keeping only the field's low bits
        (negative numbers as their two's complement bits, a box its lowest bit), without
        any check.
        Without --raw a request is refused, and nothing written, when a value lies outside
        the range the window keeps for it or outside its field's range:
          In1/In2/In3TimeXX, StartupDelay 0-250; In1/In2/In3TimeYY, In2/In3TimeNN,
          In4TimeNN 0-60; In1/In2/In3TimesZZ 0-15; In4TrackingStep 0-65000;
          StabilityPoints 5-250; Password 0-4095; In4SendRepeats 0-3;
          SendInterval, CheckoutInterval, GeofenceRadius, TrafficLimit 0-65535;
          In5HighLevel, In5LowLevel 0-255; TempHighLevel, TempLowLevel -128-127;
          lists 0-3 (TrafficEvent too: its list has 4 items, the record keeps the lowest
          bit); boxes 0-1. Negative values are refused for every field but the two
          temperatures, since the other fields are unsigned.
        It is refused too for a combination the window does not let the operator make,
        when the request names at least one field of the pair:
          GeofenceEnabled=1 with In4TrackingMode other than 0;
          CheckoutInterval greater than SendInterval;
          In5FrequencyType=1 with In5Event other than 0.

decode  Prints the fields of FILE.sbd, one "Field=value" line each in record order
        (temperatures signed, lists as the item index, boxes 0 or 1), then
        "PayloadCheck=ok" or "PayloadCheck=bad (stored 0xNN, computed 0xNN)", and the same
        for RecordCheck. The first 44 bytes are read; bytes after them are ignored.
  --json
        Print one JSON object instead: each field as a number, and "PayloadCheck" and
        "RecordCheck" as objects {"ok": true|false, "stored": N, "computed": N}.

send    Mails the first 44 bytes of FILE.sbd to the SBD gateway through the relay, as the
        window's "SEND CONFIG TO SAT" does: the IMEI as subject, the record attached as
        "temp.sbd". A relay that wants a greeting first (503 to MAIL) is greeted with HELO
        and the mail is tried once more. Prints "Error code 0" when the relay accepted the
        message; otherwise the error code and the relay's reply go to stderr, exit 1.
  --imei IMEI      15 characters of digits, "+" or "-".
  --relay HOST[:PORT]
                   Default: the compiled-in relay on the "smtp" service port.
  --from ADDR, --to ADDR
                   Default: the compiled-in sender and gateway addresses.
  --timeout SECONDS
                   Give up (exit 1) when the relay has not accepted the message by then;
                   default 120. A message already accepted counts as sent even when the
                   relay then leaves the session open.

Exit status: 0 done; 2 bad usage, a refused value or an unreadable or short input file;
1 the output file could not be written (an existing file keeps its content), or the
relay did not accept the message.
)USAGE";

} // namespace kestravo::tool
