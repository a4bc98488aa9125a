#!/usr/bin/python3
"""HTTP-date vectors from Python's email.utils and time modules.

Writes into the directory given as the only argument:
  time_parse.txt   "<date text>\t<UTC seconds>": valid dates in the RFC 1123,
                   RFC 850 and asctime forms, with every zone name the parser
                   knows and numeric offsets; seconds from
                   email.utils.parsedate_tz and calendar.timegm.
  time_format.txt  "<seconds>\t<HTTP date>\t<stamp>\t<date>": the HTTP date
                   from email.utils.formatdate(usegmt=True), the log stamp and
                   date from time.strftime of the UTC fields.
The first line of each file is "# seed <n>" so that a failure can be
reproduced.
"""
import calendar
import datetime
import email.utils
import os
import random
import sys
import time

SEED = 20240611
COUNT = 10000
LAST_DAY = datetime.date(9999, 12, 31).toordinal()
EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()

DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
DAYS_LONG = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

NAMED_ZONES = ["UT", "UTC", "GMT", "Z", "EST", "EDT", "CST", "CDT", "MST", "MDT", "PST", "PDT"]
# Military letters that email.utils does not know; their offsets are checked
# through the equivalent numeric zone.
LETTER_ZONES = {"A": "-0100", "M": "-1200", "N": "+0100", "Y": "+1200"}


def random_zone(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return rng.choice(NAMED_ZONES)
    if kind == 1:
        return rng.choice(sorted(LETTER_ZONES))
    if kind == 2:
        return ""
    return "%s%02d%02d" % (rng.choice("+-"), rng.randrange(15), rng.randrange(60))


def month_name(rng, month):
    name = MONTHS[month - 1]
    return rng.choice([name, name.upper(), name.lower()])


def random_date_text(rng):
    form = rng.randrange(3)
    if form == 1:  # two-digit years only reach 1970..2068
        first, last = EPOCH_DAY, datetime.date(2068, 12, 31).toordinal()
    else:
        first, last = EPOCH_DAY, LAST_DAY
    date = datetime.date.fromordinal(rng.randint(first, last))
    hour, minute = rng.randrange(24), rng.randrange(60)
    second = 60 if rng.randrange(50) == 0 else rng.randrange(60)
    clock = "%02d:%02d:%02d" % (hour, minute, second)
    zone = random_zone(rng)
    month = month_name(rng, date.month)
    if form == 0:
        text = "%s, %02d %s %d %s" % (DAYS[date.weekday()], date.day, month, date.year, clock)
        return text + (" " + zone if zone else ""), zone
    if form == 1:
        zone = zone or "GMT"  # email.utils needs a zone in this form
        year = "%02d" % (date.year % 100) if rng.randrange(4) else "%d" % date.year
        text = "%s, %02d-%s-%s %s %s" % (DAYS_LONG[date.weekday()], date.day, month, year,
                                         clock, zone)
        return text, zone
    text = "%s %s %2d %s %d" % (DAYS[date.weekday()], month, date.day, clock, date.year)
    return text, ""


def python_seconds(text, zone):
    if zone in LETTER_ZONES:
        text = text[: -len(zone)] + LETTER_ZONES[zone]
    fields = email.utils.parsedate_tz(text)
    if fields is None:
        raise ValueError("email.utils rejects %r" % text)
    return calendar.timegm(fields[:9]) - (fields[9] or 0)


def write_parse(directory, rng):
    with open(os.path.join(directory, "time_parse.txt"), "w") as out:
        out.write("# seed %d\n" % SEED)
        for _ in range(COUNT):
            text, zone = random_date_text(rng)
            out.write("%s\t%d\n" % (text, python_seconds(text, zone)))


def write_format(directory, rng):
    end = (LAST_DAY - EPOCH_DAY + 1) * 86400
    fixed = [0.0, 0.999, 784111777.0, 951782400.0, 951868799.5, float(end - 1), end - 0.001]
    with open(os.path.join(directory, "time_format.txt"), "w") as out:
        out.write("# seed %d\n" % SEED)
        for i in range(COUNT):
            if i < len(fixed):
                seconds = fixed[i]
            else:
                # Whole milliseconds: formatdate goes through datetime, which
                # rounds to microseconds and could carry into the next second.
                seconds = rng.randrange(end) + rng.randrange(1000) / 1000.0
            fields = time.gmtime(int(seconds))
            out.write("%r\t%s\t%s\t%s\n" % (
                seconds,
                email.utils.formatdate(seconds, usegmt=True),
                time.strftime("%m/%d/%Y %H:%M:%S", fields),
                time.strftime("%m/%d/%Y", fields)))


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    rng = random.Random(SEED)
    try:
        write_parse(directory, rng)
        write_format(directory, rng)
    except Exception:
        print("gen_time: failed with seed %d" % SEED, file=sys.stderr)
        raise


if __name__ == "__main__":
    main()
