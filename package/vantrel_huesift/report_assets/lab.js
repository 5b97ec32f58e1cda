// OpenCV's 8-bit RGB to L*a*b* conversion, by its own integer tables (lab_tables.py), so that
// the page ranks as huesift search does; every product fits in 31 bits.
function labOf(r, g, b) {
  const T = LAB_TABLES, c = T.coeffs, gm = T.gamma, cb = T.cbrt;
  const R = gm[r], G = gm[g], B = gm[b];
  const fx = cb[(R * c[0] + G * c[1] + B * c[2] + 2048) >> 12];
  const fy = cb[(R * c[3] + G * c[4] + B * c[5] + 2048) >> 12];
  const fz = cb[(R * c[6] + G * c[7] + B * c[8] + 2048) >> 12];
  const clamp = v => v < 0 ? 0 : v > 255 ? 255 : v;
  return [clamp((T.lScale * fy + T.lShift + 16384) >> 15),
          clamp((500 * (fx - fy) + T.abShift + 16384) >> 15),
          clamp((200 * (fy - fz) + T.abShift + 16384) >> 15)];
}
