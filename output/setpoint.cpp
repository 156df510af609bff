// The signed set-point from the three spin controls, as sign-and-magnitude
// latch bytes.
#include "panel/form1.h"

namespace korvel {

void Form1::output_word()
{
    const int coarse = c.VScroll1.value();
    const int medium = c.VScroll2.value();
    const int fine = c.VScroll3.value();
    // The ranges keep the sum within -30000..30000.
    st.set_word = static_cast<std::int16_t>(coarse + medium + fine);
    c.Text8.set_text(std::to_string(st.set_word));

    if (c.Combo2.text() != "ZEP")
        return;
    if (st.set_word < 0) {
        st.out_sign = 1;
        st.set_word = static_cast<std::int16_t>(-st.set_word);
    } else {
        st.out_sign = 0;
    }
    st.out_hi = st.set_word >> 8;
    if (st.out_sign == 1)
        st.out_hi |= 128;
    st.out_lo = st.set_word & 255;
    c.Text9.set_text(hex(st.set_word));
    c.Text11.set_text(st.out_sign ? "1" : "0");
}

} // namespace korvel
