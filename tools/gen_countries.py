#!/usr/bin/python3
"""Generates res/countries.sql, the source of the compiled-in country database.

Run it offline by hand when the numbering data should be refreshed; the build
never runs it, it only turns the checked-in SQL into countries.db.

    /usr/bin/python3 tools/gen_countries.py --mcc PATH/mcc-mnc-list.json \
        > res/countries.sql

Sources (all public data; see tools/README.md):
  * Debian's python3-phonenumbers (the numbering metadata of libphonenumber):
    calling codes, mobile number patterns, possible lengths of fixed-line and
    mobile numbers, national and international prefixes, number formats. Its region AC
    (Ascension Island) has no ISO 3166-1 entry, so its name is written here.
  * Debian's iso-codes: the English country names (iso_3166-1.json) and their
    translations (the iso_3166-1 gettext catalogues).
  * Debian's locales: the country's name in its own language (LC_ADDRESS
    country_name of /usr/share/i18n/locales/<lang>_<CC>).
  * The npm package mcc-mnc-list (MIT licence): the mobile country codes;
    territories it gives no code of their own take one from SHARED_MCC.
    Fetch it into a folder outside the repository, e.g.
    `cd /tmp && npm pack mcc-mnc-list && tar xzf mcc-mnc-list-*.tgz`,
    and pass package/mcc-mnc-list.json.

The output is deterministic for the same inputs: rows are sorted by key.
"""

import argparse
import collections
import gettext
import json
import os
import re
import sqlite3
import sys

import phonenumbers  # noqa: F401  (loads the metadata tables)
from phonenumbers.phonemetadata import PhoneMetadata

# Every country the program knows, by ISO 3166-1 alpha-2 code.
COUNTRIES = """
AC AD AE AF AG AI AL AM AO AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI BJ BL
BM BN BO BQ BR BS BT BW BY BZ CA CC CD CF CG CH CI CK CL CM CN CO CR CU CV CW
CX CY CZ DE DJ DK DM DO DZ EC EE EG ER ES ET FI FJ FK FM FO FR GA GB GD GE GF
GG GH GI GL GM GN GP GQ GR GT GU GW GY HK HN HR HT HU ID IE IL IM IN IO IQ IR
IS IT JE JM JO JP KE KG KH KI KM KN KP KR KW KY KZ LA LB LC LI LK LR LS LT LU
LV LY MA MC MD ME MF MG MH MK ML MM MN MO MP MQ MR MS MT MU MV MW MX MY MZ NA
NC NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH PK PL PM PR PS PT PW PY QA
RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST SV SX SY SZ
TC TD TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG US UY UZ VA VC VE VG VI VN
VU WF WS YE YT ZA ZM ZW
""".split()

# The language whose name of the country goes into `ln`, for countries with
# several locales (or none) in the locales package. Without an entry, the
# country's only locale is used, and without any locale the English name.
MAIN_LANGUAGE = {
    'AW': 'nl', 'BE': 'nl', 'CA': 'en', 'CH': 'de', 'CN': 'zh', 'CY': 'el',
    'DE': 'de', 'DJ': 'fr', 'DK': 'da', 'DZ': 'ar', 'ER': 'ti', 'ES': 'es',
    'ET': 'am', 'FI': 'fi', 'FR': 'fr', 'GB': 'en', 'GE': 'ka', 'HK': 'zh',
    'IE': 'en', 'IL': 'he', 'IN': 'hi', 'IQ': 'ar', 'IR': 'fa', 'IT': 'it',
    'KE': 'sw', 'LK': 'si', 'LT': 'lt', 'LU': 'lb', 'MA': 'ar', 'MK': 'mk',
    'MM': 'my', 'MX': 'es', 'NG': 'en', 'NI': 'es', 'NL': 'nl', 'NO': 'nb',
    'NP': 'ne', 'NZ': 'en', 'PE': 'es', 'PG': 'tpi', 'PH': 'fil', 'PK': 'ur',
    'PL': 'pl', 'RU': 'ru', 'SG': 'en', 'SN': 'fr', 'TR': 'tr', 'TW': 'zh',
    'UA': 'uk', 'US': 'en', 'ZA': 'en', 'ZM': 'en',
    # Countries without a locale of their own: the name in the official
    # language, from the iso-codes translations.
    'AD': 'ca', 'AO': 'pt', 'BF': 'fr', 'BI': 'fr', 'BJ': 'fr', 'BL': 'fr',
    'BQ': 'nl', 'CD': 'fr', 'CF': 'fr', 'CG': 'fr', 'CI': 'fr', 'CM': 'fr',
    'CV': 'pt', 'CW': 'nl', 'GA': 'fr', 'GF': 'fr', 'GN': 'fr', 'GP': 'fr',
    'GQ': 'es', 'GW': 'pt', 'HT': 'fr', 'KM': 'fr', 'LI': 'de', 'MC': 'fr',
    'MF': 'fr', 'MG': 'fr', 'ML': 'fr', 'MO': 'zh', 'MQ': 'fr', 'MZ': 'pt',
    'NC': 'fr', 'NE': 'fr', 'PF': 'fr', 'PM': 'fr', 'RE': 'fr', 'SM': 'it',
    'SR': 'nl', 'ST': 'pt', 'SX': 'nl', 'TD': 'fr', 'TG': 'fr', 'TL': 'pt',
    'VA': 'it', 'WF': 'fr', 'YT': 'fr', 'AR': 'es', 'BO': 'es', 'CL': 'es',
    'CO': 'es', 'CR': 'es', 'CU': 'es', 'DO': 'es', 'EC': 'es', 'GT': 'es',
    'HN': 'es', 'PA': 'es', 'PY': 'es', 'SV': 'es', 'UY': 'es', 'VE': 'es',
    'BR': 'pt', 'PT': 'pt', 'AT': 'de', 'PS': 'ar', 'MR': 'ar', 'KP': 'ko',
    'MD': 'ro', 'TZ': 'sw',
}

# Territories without a mobile country code of their own in mcc-mnc-list:
# their networks are those of the country named here, so they take its codes.
# Without one, the country chooser would hand back an empty MCC for them.
SHARED_MCC = {
    'AC': 'SH',  # Ascension: Sure South Atlantic, under Saint Helena's 658
    'AX': 'FI',  # Åland: Finnish networks, 244
    'SJ': 'NO',  # Svalbard and Jan Mayen: Norwegian networks, 242
    'VA': 'IT',  # Vatican City: Italian networks, 222
}

# Mobile country codes that mcc-mnc-list does not file under a country.
# British Indian Ocean Territory has no MCC assigned by the ITU; the list's one
# network there (Sure, on Diego Garcia) uses 995, which it files as
# international with the note that no MCC appears to be officially assigned.
# No country uses 995, so it becomes the territory's own code (and mmc_sn maps
# it back), rather than borrowing the United Kingdom's codes, whose numbers
# (+44) the territory does not share.
UNFILED_MCC = {
    '995': 'IO',
}

LOCALES_DIR = '/usr/share/i18n/locales'
ISO_JSON = '/usr/share/iso-codes/json/iso_3166-1.json'


def decode_locale_string(text):
    return re.sub(r'<U([0-9A-Fa-f]{4,6})>', lambda m: chr(int(m.group(1), 16)), text)


def locale_country_name(locale, seen=None):
    """LC_ADDRESS country_name of a glibc locale source, following `copy`."""
    seen = seen or set()
    if locale in seen:
        return None
    seen.add(locale)
    path = os.path.join(LOCALES_DIR, locale)
    if not os.path.exists(path):
        return None
    section = None
    with open(path, encoding='utf-8', errors='replace') as f:
        for line in f:
            stripped = line.strip()
            if re.match(r'^LC_[A-Z]+$', stripped):
                section = stripped
                continue
            if stripped.startswith('END LC_'):
                section = None
                continue
            if section != 'LC_ADDRESS':
                continue
            m = re.match(r'^copy\s+"([^"]+)"', stripped)
            if m:
                return locale_country_name(m.group(1), seen)
            m = re.match(r'^country_name\s+"(.*)"', stripped)
            if m:
                return decode_locale_string(m.group(1))
    return None


def locales_by_country():
    result = collections.defaultdict(list)
    for name in sorted(os.listdir(LOCALES_DIR)):
        m = re.fullmatch(r'([a-z]{2,3})_([A-Z]{2})', name)
        if m:
            result[m.group(2)].append(m.group(1))
    return result


def iso_translation(english, language):
    try:
        t = gettext.translation('iso_3166-1', languages=[language])
    except OSError:
        return None
    text = t.gettext(english)
    return text if text != english or language == 'en' else None


def english_names():
    names = {}
    with open(ISO_JSON, encoding='utf-8') as f:
        for entry in json.load(f)['3166-1']:
            names[entry['alpha_2']] = (entry.get('common_name', entry['name']), entry['name'])
    # Ascension Island has no ISO 3166-1 entry of its own, and the numbering
    # data has its region AC without a name.
    names.setdefault('AC', ('Ascension Island', 'Ascension Island'))
    return names


def own_language_name(cc, english, iso_name, locales):
    langs = locales.get(cc, [])
    lang = MAIN_LANGUAGE.get(cc)
    if lang is None and len(langs) == 1:
        lang = langs[0]
    if lang is None:
        return english
    if lang in langs:
        name = locale_country_name('%s_%s' % (lang, cc))
        if name:
            return name
    return iso_translation(iso_name, lang) or english


def lengths(desc):
    """Possible lengths of full national numbers; lengths that are only
    dialled locally (without the area code) are left out."""
    if desc is None:
        return []
    return [n for n in desc.possible_length if n > 0]


def national_lengths(md):
    """Lengths of the country's fixed-line and mobile national numbers.

    The program takes a number written without "+" that starts with the
    calling code as international when the rest has one of these lengths, so
    they must cover landlines too: with mobile lengths only, a landline saved
    as "49 30 1234567" never matched the contact saved as "+49 30 1234567".
    """
    numc = set(lengths(md.fixed_line)) | set(lengths(md.mobile))
    return sorted(numc) or sorted(set(lengths(md.general_desc)))


def country_row(cc, names, locales, mmc_list):
    md = PhoneMetadata.metadata_for_region(cc)
    if md is None:
        sys.exit('no numbering metadata for %s' % cc)
    mobile = md.mobile
    pattern = mobile.national_number_pattern if mobile is not None else None
    numc = national_lengths(md)
    prefixes = []
    for p in (md.national_prefix, md.national_prefix_for_parsing):
        if p and p.isdigit() and p not in prefixes:
            prefixes.append(p)
    formats = md.number_format or []
    english, iso_name = names[cc]
    return {
        'sn': cc,
        'ln': own_language_name(cc, english, iso_name, locales),
        'pnum': str(md.country_code),
        'mmc': ','.join(mmc_list),
        'numc': ','.join(str(n) for n in numc),
        'u2': ','.join(prefixes),
        'r1': pattern or '',
        'r2': ';'.join(f.pattern for f in formats),
        'r3': ';'.join(f.format for f in formats),
        'r4': ';'.join(f.leading_digits_pattern[-1] if f.leading_digits_pattern else '' for f in formats),
        'mnc_rx': md.international_prefix or '',
        'n': english,
    }


def mobile_country_codes(path):
    """Every MCC with the country it belongs to, and each country's MCCs.

    An MCC that serves several countries belongs to the one with most networks
    under it (ties: the alphabetically first); the others list it after their
    own codes, so that choosing them still picks a code of the right region.
    """
    with open(path, encoding='utf-8') as f:
        entries = json.load(f)
    known = set(COUNTRIES)
    counts = collections.defaultdict(collections.Counter)
    for e in entries:
        mcc, cc = e.get('mcc'), e.get('countryCode')
        if e.get('type') != 'National' or not mcc or not cc or not re.fullmatch(r'\d{3}', mcc):
            continue
        for part in cc.split('/'):
            if part in known:
                counts[mcc][part] += 1
    owner = {}
    for mcc, c in counts.items():
        owner[mcc] = sorted(c.items(), key=lambda kv: (-kv[1], kv[0]))[0][0]
    for mcc, cc in UNFILED_MCC.items():
        if mcc in owner:
            sys.exit('mcc %s is filed under %s now: drop it from UNFILED_MCC' % (mcc, owner[mcc]))
        owner[mcc] = cc
        counts[mcc][cc] += 1
    own = collections.defaultdict(list)
    shared = collections.defaultdict(list)
    for mcc in sorted(counts):
        for cc in sorted(counts[mcc]):
            (own if owner[mcc] == cc else shared)[cc].append(mcc)
    per_country = {cc: own[cc] + shared[cc] for cc in COUNTRIES}
    for cc, partner in SHARED_MCC.items():
        if per_country[cc]:
            sys.exit('%s has mobile country codes of its own now: drop it from SHARED_MCC' % cc)
        per_country[cc] = list(own[partner])
    return owner, per_country


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


SCHEMA = """PRAGMA page_size=1024;
BEGIN TRANSACTION;
CREATE TABLE countries(sn CHAR(2) PRIMARY KEY, ln TEXT, pnum TEXT, mmc TEXT, numc TEXT, u2 TEXT, r1 TEXT, r2 TEXT, r3 TEXT, r4 TEXT, mnc_rx TEXT, n TEXT);
CREATE INDEX index_countries_pnum ON countries(pnum);
CREATE TABLE mmc_sn(mmc CHAR(3) PRIMARY KEY, sn CHAR(2));
CREATE INDEX index_mmc_sn ON mmc_sn(sn);
"""

COLUMNS = ['sn', 'ln', 'pnum', 'mmc', 'numc', 'u2', 'r1', 'r2', 'r3', 'r4', 'mnc_rx', 'n']


def build_sql(rows, owner):
    out = ['-- Generated by tools/gen_countries.py; do not edit by hand.\n', SCHEMA]
    for row in rows:
        out.append('INSERT INTO countries VALUES(%s);\n' % ','.join(sql_text(row[c]) for c in COLUMNS))
    for mcc in sorted(owner):
        out.append('INSERT INTO mmc_sn VALUES(%s,%s);\n' % (sql_text(mcc), sql_text(owner[mcc])))
    out.append('COMMIT;\n')
    return ''.join(out)


def check(sql):
    """Loads the SQL and checks what the program relies on."""
    db = sqlite3.connect(':memory:')
    db.executescript(sql)
    got = [r[0] for r in db.execute('select sn from countries order by sn')]
    if got != sorted(COUNTRIES):
        sys.exit('country list differs')
    if db.execute('select count(*) from countries where pnum not glob "[0-9]*" or length(pnum) > 3').fetchone()[0]:
        sys.exit('bad calling code')
    orphans = db.execute('select mmc from mmc_sn where sn not in (select sn from countries)').fetchall()
    if orphans:
        sys.exit('mmc_sn names unknown countries: %r' % orphans)
    for cc, mmc in (('IN', '404'), ('IN', '405'), ('DE', '262'), ('US', '310'), ('CN', '460')):
        row = db.execute('select sn from mmc_sn where mmc=?', (mmc,)).fetchone()
        if not row or row[0] != cc:
            sys.exit('mmc %s does not give %s' % (mmc, cc))
    # The country chooser answers a country's first MCC; none may be empty.
    empty = [r[0] for r in db.execute("select sn from countries where substr(mmc, 1, 3) not glob '[0-9][0-9][0-9]'")]
    if empty:
        sys.exit('countries without a mobile country code: %s' % ' '.join(empty))
    for cc, mcc, owner in (('AC', '658', 'SH'), ('AX', '244', 'FI'), ('SJ', '242', 'NO'),
                           ('VA', '222', 'IT'), ('IO', '995', 'IO')):
        first = db.execute('select substr(mmc, 1, 3) from countries where sn=?', (cc,)).fetchone()[0]
        row = db.execute('select sn from mmc_sn where mmc=?', (mcc,)).fetchone()
        if first != mcc or not row or row[0] != owner:
            sys.exit('%s does not take mcc %s of %s' % (cc, mcc, owner))
    # Landlines count: Germany's national numbers run from 5 to 15 digits.
    numc = db.execute("select numc from countries where sn='DE'").fetchone()[0].split(',')
    if '8' not in numc or '9' not in numc:
        sys.exit('numc of DE lacks landline lengths: %s' % ','.join(numc))
    for (pattern,) in db.execute('select r1 from countries'):
        re.compile('^(?:' + pattern + ')$')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--mcc', required=True, help='mcc-mnc-list.json of the npm package mcc-mnc-list')
    args = ap.parse_args()
    names = english_names()
    locales = locales_by_country()
    owner, per_country = mobile_country_codes(args.mcc)
    rows = [country_row(cc, names, locales, per_country[cc]) for cc in sorted(COUNTRIES)]
    sql = build_sql(rows, owner)
    check(sql)
    sys.stdout.write(sql)
    stats = (len(rows), len(owner), len({v for v in owner.values()}),
             sum(1 for r in rows if not r['r1']), sum(1 for r in rows if not r['mmc']))
    sys.stderr.write('%d countries, %d mobile country codes for %d countries, '
                     '%d without mobile pattern, %d without MCC\n' % stats)


if __name__ == '__main__':
    main()
