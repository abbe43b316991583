/* A text screen: each text is a run of records, a length byte and then one
 * font code per character, between the labels its assembler file defines. */
extern const unsigned char menu_text[], menu_text_end[];
extern const unsigned char dialogue_text[], dialogue_text_end[];
extern const unsigned char story_text[], story_text_end[];

#define COLUMNS 32
#define ROWS 24

static unsigned char screen[ROWS][COLUMNS];

/* Draws the records of [text, end) from row on; returns the next row. */
static unsigned char draw(const unsigned char *text, const unsigned char *end,
                          unsigned char row) {
    while (text < end && row < ROWS) {
        unsigned char n = *text++;
        for (unsigned char i = 0; i < n && i < COLUMNS; ++i)
            screen[row][i] = text[i];
        text += n;
        ++row;
    }
    return row;
}

void main(void) {
    unsigned char row = draw(menu_text, menu_text_end, 0);
    row = draw(dialogue_text, dialogue_text_end, row + 1);
    draw(story_text, story_text_end, row + 1);
    for (;;) {
    }
}
