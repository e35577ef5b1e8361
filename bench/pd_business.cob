      * Business-shaped loop over packed (COMP-3) fields, the reference
      * for the packed-decimal engine: per row, price = rate x quantity
      * rounded to cents, two taxes, and running totals. The rows are
      * made by stepping rate and quantity, so no input is read; the
      * C++ side (pd_bench --business-totals) does the same steps and
      * must print the same totals.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. PDBUSINESS.
       DATA DIVISION.
       WORKING-STORAGE SECTION.
       01 WS-I          PIC 9(9) COMP-5.
       01 WS-RATE       PIC S9(5)V9(4) COMP-3 VALUE 1.
       01 WS-QTY        PIC S9(5)V9(3) COMP-3 VALUE 1.
       01 WS-PRICE      PIC S9(9)V99 COMP-3.
       01 WS-TAX1       PIC S9(9)V99 COMP-3.
       01 WS-TAX2       PIC S9(9)V99 COMP-3.
       01 WS-TOT-PRICE  PIC S9(13)V99 COMP-3 VALUE 0.
       01 WS-TOT-TAX1   PIC S9(13)V99 COMP-3 VALUE 0.
       01 WS-TOT-TAX2   PIC S9(13)V99 COMP-3 VALUE 0.
       01 WS-GRAND      PIC S9(13)V99 COMP-3 VALUE 0.
       01 WS-OUT        PIC 9(13).99.
       PROCEDURE DIVISION.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 0.0137 TO WS-RATE
              IF WS-RATE > 500
                 SUBTRACT 499 FROM WS-RATE
              END-IF
              ADD 0.251 TO WS-QTY
              IF WS-QTY > 90
                 SUBTRACT 89 FROM WS-QTY
              END-IF
              COMPUTE WS-PRICE ROUNDED = WS-RATE * WS-QTY
              COMPUTE WS-TAX1 ROUNDED = WS-PRICE * 0.0825
              COMPUTE WS-TAX2 ROUNDED = (WS-PRICE + WS-TAX1) * 0.015
              ADD WS-PRICE TO WS-TOT-PRICE
              ADD WS-TAX1 TO WS-TOT-TAX1
              ADD WS-TAX2 TO WS-TOT-TAX2
              ADD WS-PRICE WS-TAX1 WS-TAX2 TO WS-GRAND
           END-PERFORM
           MOVE WS-TOT-PRICE TO WS-OUT
           DISPLAY "price " WS-OUT
           MOVE WS-TOT-TAX1 TO WS-OUT
           DISPLAY "tax1 " WS-OUT
           MOVE WS-TOT-TAX2 TO WS-OUT
           DISPLAY "tax2 " WS-OUT
           MOVE WS-GRAND TO WS-OUT
           DISPLAY "grand " WS-OUT
           STOP RUN.
