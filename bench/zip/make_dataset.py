#!/usr/bin/python3
"""Builds the backup benchmark data set: a folder that looks like a file
infobase ready to be backed up.

    make_dataset.py FOLDER [--mb 300] [--seed 1]

One large database-like file (about 85 % of the total) made of 4 KiB pages of
mixed kinds, as a 1C:Enterprise file database has them:

  * text pages: records with Russian and English words in UTF-16LE and UTF-8,
  * binary pages: index and table records (ids, dates, sums, flags),
  * random pages: already compressed attachments (incompressible),
  * empty pages: zeros (free space of the file).

Plus a few hundred small files: logs, XML settings, binary caches, pictures
and empty files, in a few sub-folders. The content depends only on the seed,
so every run measures the same bytes.
"""

import argparse
import os
import random
import struct

PAGE = 4096

WORDS_RU = ("Поступление Реализация Номенклатура Контрагент Договор Склад Организация "
            "Сотрудник Начисление Удержание Зарплата Отпуск Больничный Касса Банк Счет "
            "Фактура Возврат Перемещение Списание Оприходование Инвентаризация Партия "
            "Себестоимость Выручка Налог НДС Проводка Субконто Регистр Остаток Оборот "
            "товаров услуг поставщику покупателю основной склад рублей количество сумма "
            "цена скидка итого проведен помечен удалению документ справочник отчет "
            "Москва Санкт-Петербург Новосибирск Екатеринбург Казань Нижний Новгород").split()
WORDS_EN = ("invoice order customer vendor warehouse item quantity price total amount "
            "posted deleted reference register balance turnover account period date "
            "number comment author responsible department currency rate").split()


def text_page(rng):
    parts = []
    size = 0
    while size < PAGE:
        n = rng.randint(4, 14)
        if rng.random() < 0.6:
            rec = " ".join(rng.choices(WORDS_RU, k=n)) + " %d.%02d" % (rng.randint(1, 99999), rng.randint(0, 99))
            data = rec.encode("utf-16-le")
        else:
            rec = " ".join(rng.choices(WORDS_EN, k=n)) + " #%d;" % rng.randint(1, 10 ** 6)
            data = rec.encode("utf-8")
        parts.append(struct.pack("<H", len(data)) + data)
        size += len(data) + 2
    return b"".join(parts)[:PAGE]


def binary_page(rng, state):
    out = bytearray()
    while len(out) < PAGE:
        state[0] += rng.randint(1, 3)
        out += struct.pack("<QIIdHBB",
                           state[0],                                   # record id
                           738000 + rng.randint(0, 3650),              # date as day number
                           rng.randint(0, 5000),                       # reference
                           round(rng.uniform(0, 250000), 2),           # sum
                           rng.randint(0, 40),                         # quantity
                           rng.randint(0, 1),                          # posted
                           0)                                          # deletion mark
    return bytes(out[:PAGE])


def make_database(path, size, rng):
    kinds = ["text"] * 40 + ["binary"] * 25 + ["random"] * 15 + ["empty"] * 20
    state = [0]
    zero = bytes(PAGE)
    with open(path, "wb") as f:
        written = 0
        buf = []
        while written < size:
            kind = rng.choice(kinds)
            # Pages of one kind tend to come in runs, like the tables of a real file.
            run = rng.randint(1, 24)
            for _ in range(run):
                if written >= size:
                    break
                if kind == "text":
                    page = text_page(rng)
                elif kind == "binary":
                    page = binary_page(rng, state)
                elif kind == "random":
                    page = rng.randbytes(PAGE)
                else:
                    page = zero
                buf.append(page)
                written += PAGE
            if len(buf) >= 256:
                f.write(b"".join(buf))
                buf = []
        f.write(b"".join(buf))


def small_file(rng, kind, size):
    if kind == "log":
        lines = []
        n = 0
        while n < size:
            line = "%02d.%02d.2024 %02d:%02d:%02d %s %s\n" % (
                rng.randint(1, 28), rng.randint(1, 12), rng.randint(0, 23), rng.randint(0, 59),
                rng.randint(0, 59), rng.choice(["INFO", "WARN", "ERROR"]),
                " ".join(rng.choices(WORDS_RU + WORDS_EN, k=rng.randint(3, 12))))
            lines.append(line)
            n += len(line.encode())
        return "".join(lines).encode()[:size]
    if kind == "xml":
        items = []
        n = 0
        while n < size:
            item = '<item id="%d" name="%s" value="%s"/>\n' % (
                rng.randint(1, 10 ** 6), rng.choice(WORDS_EN), rng.choice(WORDS_RU))
            items.append(item)
            n += len(item.encode())
        return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n" + "".join(items)).encode()[:size]
    if kind == "bin":
        return b"".join(struct.pack("<IHH", i, rng.randint(0, 300), i % 7) for i in range(size // 8 + 1))[:size]
    if kind == "jpg":
        return rng.randbytes(size)
    return b""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--mb", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    rng = random.Random(args.seed)
    total = args.mb * 1024 * 1024
    big = total * 85 // 100 // PAGE * PAGE
    os.makedirs(args.folder, exist_ok=True)
    make_database(os.path.join(args.folder, "1Cv8.1CD"), big, rng)

    rest = total - big
    folders = ["", "1Cv8Log", "1Cv8Log/2024", "objects", "objects/cache", "objects/pictures"]
    for f in folders:
        os.makedirs(os.path.join(args.folder, f), exist_ok=True)
    kinds = [("log", "1Cv8Log", ".lgp"), ("log", "1Cv8Log/2024", ".lgp"), ("xml", "", ".xml"),
             ("xml", "objects", ".xml"), ("bin", "objects/cache", ".bin"),
             ("jpg", "objects/pictures", ".jpg"), ("empty", "objects", ".lck")]
    made = 0
    i = 0
    while made < rest:
        kind, sub, ext = rng.choice(kinds)
        size = 0 if kind == "empty" else min(rest - made, int(rng.lognormvariate(10.5, 1.2)) + 1)
        name = os.path.join(args.folder, sub, "file%04d%s" % (i, ext))
        with open(name, "wb") as f:
            f.write(small_file(rng, kind, size))
        made += size
        i += 1
    print("%s: %d MiB in %d files" % (args.folder, total // (1024 * 1024), i + 1))


if __name__ == "__main__":
    main()
