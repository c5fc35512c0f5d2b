"""Drawn inputs for own_set.py: busy backgrounds of the kinds that fool a
saliency network (star fields, circuit boards, façades, text, crowds, foliage)
and thin subjects with their true alpha (cables, bicycles, stemmed plants).

Every function takes a numpy Generator, so a seed fixes the picture; `variant`
changes the drawing itself (palette, scale, layout), so that the tuning set
and the held-out set do not share a background even of the same kind.
Backgrounds are BGR uint8 of size (h, w); subjects are BGRA uint8.
"""
import cv2
import numpy as np

BUSY_KINDS = ("stars", "circuit", "facade", "text", "crowd", "foliage")
THIN_KINDS = ("cable", "bicycle", "plant")


def stars(rng, w, h, variant=0):
    """Many small bright dots on a night sky with faint glowing clouds (a sky with a
    border flat enough to key is the keying's business, not the segmentation's)."""
    cloud = rng.uniform(0, 1, (6, 8)).astype(np.float32)
    cloud = np.clip(cv2.resize(cloud, (w, h), interpolation=cv2.INTER_CUBIC), 0, 1)
    tint = np.array((110, 45, 60) if variant == 0 else (70, 60, 100), np.float32)
    sky = cloud[..., None] ** 2 * tint
    count = int(rng.integers(1500, 5000)) * (1 if variant == 0 else 2)
    xs, ys = rng.integers(0, w, count), rng.integers(0, h, count)
    for x, y in zip(xs, ys):
        v = float(rng.uniform(120, 255))
        colour = (v, v * rng.uniform(0.8, 1.0), v * rng.uniform(0.7, 1.0))
        cv2.circle(sky, (int(x), int(y)), int(rng.choice([0, 0, 0, 1, 1, 2])), colour, -1)
    glow = np.zeros_like(sky)
    for _ in range(int(rng.integers(10, 40))):
        cv2.circle(glow, (int(rng.integers(0, w)), int(rng.integers(0, h))),
                   int(rng.integers(2, 5)), (255, 240, 220), -1)
    sky += cv2.GaussianBlur(glow, (0, 0), 3) * 2 + glow
    return np.clip(sky, 0, 255).astype(np.uint8)


def circuit(rng, w, h, variant=0):
    """A printed circuit board: traces, pads, chips with pins, silk-screen labels."""
    base = (40, 110, 30) if variant == 0 else (60, 40, 20)  # green board; blue board
    trace = (80, 170, 60) if variant == 0 else (160, 120, 60)
    img = np.full((h, w, 3), base, np.uint8)
    img = cv2.add(img, rng.integers(0, 12, (h, w, 3), dtype=np.uint8))
    for _ in range(int(rng.integers(120, 260))):
        x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
        pts = [(x, y)]
        for _ in range(int(rng.integers(2, 6))):
            if rng.random() < 0.5:
                x += int(rng.integers(-200, 200))
            else:
                y += int(rng.integers(-200, 200))
            pts.append((x, y))
        cv2.polylines(img, [np.array(pts)], False, trace, int(rng.integers(2, 5)))
        cv2.circle(img, pts[-1], int(rng.integers(4, 8)), (60, 180, 210), -1)
        cv2.circle(img, pts[-1], 2, (20, 20, 20), -1)
    for _ in range(int(rng.integers(8, 20))):
        cw, ch = int(rng.integers(40, 160)), int(rng.integers(30, 120))
        x, y = int(rng.integers(0, w - cw)), int(rng.integers(0, h - ch))
        for px in range(x + 4, x + cw - 4, 8):
            cv2.rectangle(img, (px, y - 6), (px + 3, y + ch + 6), (190, 190, 200), -1)
        cv2.rectangle(img, (x, y), (x + cw, y + ch), (25, 25, 28), -1)
        cv2.putText(img, f"U{int(rng.integers(1, 99))}", (x + 5, y + ch // 2),
                    cv2.FONT_HERSHEY_SIMPLEX, 0.5, (200, 200, 200), 1, cv2.LINE_AA)
    return img


def facade(rng, w, h, variant=0):
    """A building's front: rows of framed windows, some lit, some reflecting sky."""
    wall = (150, 170, 190) if variant == 0 else (70, 80, 120)
    img = np.full((h, w, 3), wall, np.uint8)
    step_x, step_y = int(rng.integers(50, 110)), int(rng.integers(60, 120))
    win_w, win_h = int(step_x * rng.uniform(0.5, 0.75)), int(step_y * rng.uniform(0.5, 0.75))
    for y in range(int(rng.integers(5, 20)), h, step_y):
        for x in range(int(rng.integers(5, 20)), w, step_x):
            cv2.rectangle(img, (x - 4, y - 4), (x + win_w + 4, y + win_h + 4), (230, 230, 230), -1)
            top = np.array((200, 160, 110) if rng.random() < 0.8 else (80, 200, 240), np.float32)
            for r in range(win_h):
                cv2.line(img, (x, y + r), (x + win_w, y + r), (top * (1 - 0.5 * r / win_h)).tolist())
            cv2.line(img, (x + win_w // 2, y), (x + win_w // 2, y + win_h), (230, 230, 230), 2)
    if variant:
        src = np.float32([[0, 0], [w, 0], [w, h], [0, h]])
        dst = np.float32([[0, 0], [w, h * 0.12], [w, h * 0.88], [0, h]])
        img = cv2.warpPerspective(img, cv2.getPerspectiveTransform(src, dst), (w, h),
                                  borderMode=cv2.BORDER_REFLECT)
    return img


WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
         "incididunt ut labore et dolore magna aliqua enim ad minim veniam quis").split()


def text(rng, w, h, variant=0):
    """A printed page: lines of words in several sizes, some headings in colour."""
    paper = (235, 240, 245) if variant == 0 else (200, 225, 240)
    img = np.full((h, w, 3), paper, np.uint8)
    y = 20
    font = cv2.FONT_HERSHEY_SIMPLEX if variant == 0 else cv2.FONT_HERSHEY_COMPLEX
    while y < h + 20:
        scale = float(rng.choice([0.5, 0.6, 0.8, 1.4]))
        colour = (20, 20, 20) if scale < 1 else tuple(int(c) for c in rng.integers(0, 160, 3))
        line = " ".join(rng.choice(WORDS, 20))
        cv2.putText(img, line, (10 - int(rng.integers(0, 60)), y), font, scale, colour,
                    1 if scale < 1 else 2, cv2.LINE_AA)
        y += int(32 * scale) + 6
    return img


def crowd(rng, w, h, variant=0):
    """People seen from afar: heads and shoulders in rows, smaller towards the top."""
    img = np.full((h, w, 3), (90, 100, 110) if variant == 0 else (60, 90, 70), np.uint8)
    skins = [(150, 180, 230), (90, 130, 190), (60, 90, 140), (120, 160, 210)]
    for y in range(-20, h + 60, 14):
        size = 6 + 26 * max(0.0, y) / h
        for _ in range(int(w / size * 0.8)):
            x = int(rng.integers(0, w))
            cloth = tuple(int(c) for c in rng.integers(20, 230, 3))
            cv2.ellipse(img, (x, int(y + size * 1.6)), (int(size * 1.2), int(size)), 0, 180, 360,
                        cloth, -1)
            cv2.circle(img, (x, int(y + size * 0.4)), int(size * 0.55),
                       skins[int(rng.integers(0, 4))], -1)
    return img


def foliage(rng, w, h, variant=0):
    """Layers of leaves, the far ones blurred and darker."""
    img = np.full((h, w, 3), (20, 60, 25), np.uint8)
    layers = 3 if variant == 0 else 4
    for layer in range(layers):
        sheet = img.copy()
        light = 0.5 + 0.5 * layer / layers
        for _ in range(int(rng.integers(300, 600))):
            centre = (int(rng.integers(0, w)), int(rng.integers(0, h)))
            axes = (int(rng.integers(8, 30)), int(rng.integers(3, 10)))
            green = (int(rng.integers(10, 60) * light), int(rng.integers(90, 200) * light),
                     int(rng.integers(20, 90 if variant == 0 else 160) * light))
            cv2.ellipse(sheet, centre, axes, float(rng.uniform(0, 180)), 0, 360, green, -1,
                        cv2.LINE_AA)
        img = sheet if layer == layers - 1 else cv2.GaussianBlur(sheet, (0, 0), 3 - layer * 0.7)
    return img


BUSY = {"stars": stars, "circuit": circuit, "facade": facade, "text": text, "crowd": crowd,
        "foliage": foliage}


def _canvas(size):
    return np.zeros((size, size, 4), np.uint8)


def _stroke(canvas, pts, colour, thick):
    """A polyline drawn on colour and alpha alike, anti-aliased."""
    cv2.polylines(canvas, [np.array(pts, np.int32)], False, (*colour, 255), thick, cv2.LINE_AA)


def cable(rng, size=600):
    """A cable or two in loose curves, a few pixels thick, with a plug."""
    c = _canvas(size)
    for _ in range(int(rng.integers(1, 3))):
        p = rng.uniform(0.1, 0.9, (4, 2)) * size
        t = np.linspace(0, 1, 200)[:, None]
        curve = ((1 - t) ** 3 * p[0] + 3 * (1 - t) ** 2 * t * p[1] + 3 * (1 - t) * t ** 2 * p[2]
                 + t ** 3 * p[3])
        colour = tuple(int(v) for v in rng.integers(20, 240, 3))
        _stroke(c, curve, colour, int(rng.integers(4, 9)))
        end = curve[-1].astype(int)
        cv2.rectangle(c, (end[0] - 14, end[1] - 10), (end[0] + 14, end[1] + 10), (*colour, 255), -1)
    return c


def bicycle(rng, size=600):
    """Two spoked wheels, a frame of thin tubes, a saddle and handlebars."""
    c = _canvas(size)
    frame = tuple(int(v) for v in rng.integers(30, 230, 3))
    r = int(size * 0.2)
    back, front = (int(size * 0.25), int(size * 0.65)), (int(size * 0.75), int(size * 0.65))
    for hub in (back, front):
        cv2.circle(c, hub, r, (30, 30, 30, 255), 7, cv2.LINE_AA)
        for a in np.linspace(0, np.pi, 9)[:-1]:
            d = np.array([np.cos(a), np.sin(a)]) * r
            _stroke(c, [np.array(hub) - d, np.array(hub) + d], (170, 170, 170), 1)
    seat, head, crank = (int(size * 0.42), int(size * 0.35)), (int(size * 0.68), int(size * 0.33)), (
        int(size * 0.47), int(size * 0.66))
    for a, b in ((back, seat), (seat, crank), (crank, back), (seat, head), (head, crank),
                 (head, front)):
        _stroke(c, [a, b], frame, 6)
    cv2.ellipse(c, (seat[0], seat[1] - 10), (28, 8), 0, 0, 360, (20, 20, 20, 255), -1)
    _stroke(c, [(head[0] - 5, head[1] - 20), (head[0] + 35, head[1] - 30)], (40, 40, 40), 6)
    return c


def plant(rng, size=600):
    """A pot with thin stems and narrow leaves fanning out of it."""
    c = _canvas(size)
    pot = tuple(int(v) for v in rng.integers(40, 200, 3))
    base = np.array([size / 2, size * 0.78])
    cv2.rectangle(c, (int(size * 0.4), int(size * 0.78)), (int(size * 0.6), int(size * 0.97)),
                  (*pot, 255), -1)
    green = (int(rng.integers(20, 70)), int(rng.integers(110, 190)), int(rng.integers(30, 110)))
    for _ in range(int(rng.integers(5, 11))):
        angle = rng.uniform(-2.4, -0.7)
        length = rng.uniform(0.35, 0.7) * size
        bend = rng.uniform(-0.4, 0.4)
        t = np.linspace(0, 1, 60)[:, None]
        d = np.array([np.cos(angle), np.sin(angle)])
        n = np.array([-d[1], d[0]])
        stem = base + t * length * d + (t ** 2) * bend * length * n
        _stroke(c, stem, green, int(rng.integers(2, 4)))
        for k in range(10, 60, int(rng.integers(10, 18))):
            leaf_angle = np.degrees(angle) + rng.choice([-40, 40])
            cv2.ellipse(c, tuple(int(v) for v in stem[k]), (int(rng.integers(14, 30)), 4),
                        float(leaf_angle), 0, 360, (*green, 255), -1, cv2.LINE_AA)
    return c


THIN = {"cable": cable, "bicycle": bicycle, "plant": plant}
