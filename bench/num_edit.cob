      * Numeric editing, the reference for the number conversions: per
      * row a COMP-3 (8 bytes) or COMP-5 (4 bytes) value with two
      * decimals moved to PIC -ZZZ,ZZZ,ZZ9.99, or an edited text moved
      * back. The mode comes from the command line: fmtpd, readpd,
      * fmtbin, readbin, or base (the loop alone, which
      * run_num_bench.sh subtracts). Each loop cycles through tables
      * of 1000 values and texts made first.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. NUMEDIT.
       DATA DIVISION.
       WORKING-STORAGE SECTION.
       01 WS-I          PIC 9(9) COMP-5.
       01 WS-K          PIC 9(4) COMP-5 VALUE 1.
       01 WS-MODE       PIC X(8).
       01 WS-STEP       PIC S9(13)V99 COMP-3 VALUE -499999999.37.
       01 WS-P          PIC S9(13)V99 COMP-3 VALUE 0.
       01 WS-B          PIC S9(7)V99 COMP-5 VALUE 0.
       01 WS-E          PIC -ZZZ,ZZZ,ZZ9.99.
       01 WS-TABLES.
          05 WS-ROW OCCURS 1000.
             10 WS-PT   PIC S9(13)V99 COMP-3.
             10 WS-BT   PIC S9(7)V99 COMP-5.
             10 WS-T    PIC -ZZZ,ZZZ,ZZ9.99.
       01 WS-SUM        PIC S9(15)V99 COMP-3 VALUE 0.
       01 WS-OUT        PIC -9(15).99.
       PROCEDURE DIVISION.
           ACCEPT WS-MODE FROM COMMAND-LINE
           PERFORM VARYING WS-K FROM 1 BY 1 UNTIL WS-K > 1000
              ADD 997001.13 TO WS-STEP
              MOVE WS-STEP TO WS-PT(WS-K)
              COMPUTE WS-BT(WS-K) = WS-STEP / 100
              MOVE WS-STEP TO WS-T(WS-K)
           END-PERFORM
           MOVE 1 TO WS-K
           EVALUATE WS-MODE
              WHEN "fmtpd"   PERFORM FMT-PD
              WHEN "readpd"  PERFORM READ-PD
              WHEN "fmtbin"  PERFORM FMT-BIN
              WHEN "readbin" PERFORM READ-BIN
              WHEN OTHER     PERFORM BASE-LOOP
           END-EVALUATE
           ADD WS-P WS-B TO WS-SUM
           MOVE WS-SUM TO WS-OUT
           DISPLAY WS-MODE " " WS-OUT " " WS-E
           STOP RUN.
       FMT-PD.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 1 TO WS-K
              IF WS-K > 1000
                 MOVE 1 TO WS-K
              END-IF
              MOVE WS-PT(WS-K) TO WS-E
           END-PERFORM.
       FMT-BIN.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 1 TO WS-K
              IF WS-K > 1000
                 MOVE 1 TO WS-K
              END-IF
              MOVE WS-BT(WS-K) TO WS-E
           END-PERFORM.
       READ-PD.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 1 TO WS-K
              IF WS-K > 1000
                 MOVE 1 TO WS-K
              END-IF
              MOVE WS-T(WS-K) TO WS-P
           END-PERFORM.
       READ-BIN.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 1 TO WS-K
              IF WS-K > 1000
                 MOVE 1 TO WS-K
              END-IF
              MOVE WS-T(WS-K) TO WS-B
           END-PERFORM.
       BASE-LOOP.
           PERFORM VARYING WS-I FROM 1 BY 1 UNTIL WS-I > 1000000
              ADD 1 TO WS-K
              IF WS-K > 1000
                 MOVE 1 TO WS-K
              END-IF
           END-PERFORM.
