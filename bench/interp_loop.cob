      * The benchmark loop over packed (COMP-3) fields: the reference for
      * interp_bench --loop-totals, which must print the same two lines.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. INTERPLOOP.
       DATA DIVISION.
       WORKING-STORAGE SECTION.
       01 WS-I          PIC 9(9) COMP-5.
       01 WS-RATE       PIC S9(5)V9(4) COMP-3 VALUE 1.
       01 WS-TOTAL      PIC S9(13)V9(4) COMP-3 VALUE 0.
       01 WS-HIGH       PIC S9(9) COMP-3 VALUE 0.
       01 WS-OUT-TOTAL  PIC 9(13).9(4).
       01 WS-OUT-HIGH   PIC 9(9).
       PROCEDURE DIVISION.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 0.0137 TO WS-RATE
              IF WS-RATE > 500
                 SUBTRACT 499.9991 FROM WS-RATE
              END-IF
              ADD WS-RATE TO WS-TOTAL
              IF WS-RATE > 250
                 ADD 1 TO WS-HIGH
              END-IF
           END-PERFORM
           MOVE WS-TOTAL TO WS-OUT-TOTAL
           MOVE WS-HIGH TO WS-OUT-HIGH
           DISPLAY "total " WS-OUT-TOTAL
           DISPLAY "high " WS-OUT-HIGH
           STOP RUN.
