{{ config(event_time='order_date', tags=['finance'], meta={'velk': {'lookback': 365}}) }}

-- Lifetime value looks back a whole year, far wider than the other marts.
select order_date, sum(revenue) over (order by order_date rows between 365 preceding and current row) as ltv
from {{ ref('orders_daily') }}
