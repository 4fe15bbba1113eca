/* The desk's interface card windows as the PC sees them: where they are, the mailbox through
 * which the PC hands a card blocks, the card's type word, and in window 0 the LCD text and the
 * panel keys. One map for the program on the desk, the card model and the desk tools.
 * Offsets are bytes from the start of a window. */
#ifndef PCPLAT_DESK_CARD_H
#define PCPLAT_DESK_CARD_H

enum {
    DESK_CARD_WINDOW_0 = 0xD1000, /* physical addresses */
    DESK_CARD_WINDOW_1 = 0xD2000,
    DESK_CARD_WINDOW_SIZE = 0x1000, /* what the card decodes */

    /* The mailbox. */
    DESK_CARD_COMMAND = 0x000, /* 0 idle; the PC writes a command, the card answers 0 or DONE */
    DESK_CARD_ERROR = 0x001,   /* nonzero: the card refused the last block */
    DESK_CARD_STATUS = 0x002,  /* the card's own, not interpreted by the PC */
    DESK_CARD_PARAMS = 0x003,  /* P3, 0, P5, P6, P7 */
    DESK_CARD_DATA = 0x008,    /* the block, always all of it */
    DESK_CARD_DATA_SIZE = 256,
    DESK_CARD_TYPE = 0x108, /* the card's type word, little-endian; 0xFFFF: no card */

    DESK_CARD_CMD_BLOCK = 0x10,
    DESK_CARD_CMD_END = 0x50,
    DESK_CARD_CMD_DONE = 0x80,

    /* Window 0 only: the LCD, four lines of 20 characters and two wide fields of 24, and the
     * panel keys (nonzero while down). */
    DESK_LCD_LINES = 0x11A,
    DESK_LCD_LINE_LENGTH = 20,
    DESK_LCD_LINE_COUNT = 4,
    DESK_LCD_WIDE_FIELD_0 = 0x16A,
    DESK_LCD_WIDE_FIELD_1 = 0x182,
    DESK_LCD_WIDE_FIELD_LENGTH = 24,
    DESK_PANEL_NO = 0x9ED,
    DESK_PANEL_YES = 0x9EE
};

#endif
